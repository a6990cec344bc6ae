// kycm: dataset mode and the dataset functions (destroyDatasetAll is
// registered with the utilities, where the module's order places it).
#include <pybind11/pybind11.h>

#include "kycm.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/registration.h"

namespace py = pybind11;

static_assert(sizeof(kycmDatasetMode) == 4, "kycmDatasetMode is 32 bits");

namespace quillon {

void register_datasets(py::module_& m) {
  register_enum<kycmDatasetMode>(m, "datasetMode",
                                 {{"kycmDM_BUFFER", kycmDM_BUFFER}, {"kycmDM_TENSOR", kycmDM_TENSOR}});

  m.def(
      "createDataset",
      [](kycmDatasetMode mode) {
        void* dataset = nullptr;
        check(kycmCreateDataset(mode, &dataset), "create dataset error, ret: %d.");
        return Handle(dataset);
      },
      "Create a dataset.");
  m.def(
      "destroyDataset", [](Handle dataset) { return kycmDestroyDataset(dataset.ptr); }, "Destroy a dataset.");
  m.def(
      "addDatasetBuffer", [](Handle dataset, Handle buffer) { return kycmAddDatasetBuffer(dataset.ptr, buffer.ptr); },
      "Add a dataset buffer.");
  m.def(
      "getDatasetBufferCount",
      [](Handle dataset) {
        uint32_t count = 0;
        check(kycmGetDatasetBufferCount(dataset.ptr, &count), "get dataset buffer count error, ret: %d.");
        return count;
      },
      "Get the data buffer count for a dataset.");
  m.def(
      "getDatasetBuffer",
      [](Handle dataset, int32_t index) {
        void* buffer = nullptr;
        check(kycmGetDatasetBuffer(dataset.ptr, index, &buffer), "get dataset buffer error, ret: %d.");
        return Handle(buffer);
      },
      "Get the data buffer by index for a dataset.");
  m.def(
      "addDatasetTensor", [](Handle dataset, Handle tensor) { return kycmAddDatasetTensor(dataset.ptr, tensor.ptr); },
      "Add a tensor into a dataset.");
  m.def(
      "getDatasetTensorCount",
      [](Handle dataset) {
        uint32_t count = 0;
        check(kycmGetDatasetTensorCount(dataset.ptr, &count), "get dataset tensor count error, ret: %d.");
        return count;
      },
      "Get the tensor count for a dataset.");
  m.def(
      "getDatasetTensor",
      [](Handle dataset, int32_t index) {
        void* tensor = nullptr;
        check(kycmGetDatasetTensor(dataset.ptr, index, &tensor), "get dataset tensor error, ret: %d.");
        return Handle(tensor);
      },
      "Get the tensor by index for a dataset.");
  m.def(
      "getDatasetMode",
      [](Handle dataset) {
        kycmDatasetMode mode = kycmDM_BUFFER;
        check(kycmGetDatasetMode(dataset.ptr, &mode), "get dataset mode error, ret: %d.");
        return mode;
      },
      "Get the mode for a dataset.");
  m.def(
      "getDatasetUserCtx",
      [](Handle dataset) {
        void* context = nullptr;
        check(kycmGetDatasetUserCtx(dataset.ptr, &context), "get dataset user ctx error, ret: %d.");
        return Handle(context);
      },
      "Get the user context data for a dataset.");
  m.def(
      "setDatasetUserCtx",
      [](Handle dataset, Handle context) { return kycmSetDatasetUserCtx(dataset.ptr, context.ptr); },
      "Set the user context data for a dataset.");
  m.def(
      "clearDataset", [](Handle dataset) { return kycmClearDataset(dataset.ptr); }, "Clear a dataset.");
}

}  // namespace quillon
