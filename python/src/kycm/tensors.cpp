// kycm: the shape adaptor and the tensor functions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kycm.h"
#include "quillon/classes.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/record_args.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/shape.h"

namespace py = pybind11;

QUILLON_ASSERT_LAYOUT(kycmShape, 56, 8);
QUILLON_ASSERT_OFFSET(kycmShape, ndims, 0);
QUILLON_ASSERT_OFFSET(kycmShape, dims, 8);
static_assert(sizeof(bool) == 1, "the ownership flag crosses as one byte");

namespace quillon {
namespace {

const kycmShapePy& shape_arg(const kycmShapePy* shape, const char* function) {
  return require_record(shape, function, "shape");
}

}  // namespace

void register_tensors(py::module_& m) {
  class_<kycmShapePy>(m, "shape")
      .def(py::init<>())
      .def_property(
          "ndims", [](const kycmShapePy& self) { return self.ndims; },
          [](kycmShapePy& self, uint32_t ndims) { self.ndims = ndims; })
      .def_readwrite("shapes", &kycmShapePy::shapes);

  m.def(
      "createTensor",
      [](const kycmDeviceInfo* info, const kycmShapePy* shape, kycmDType type) {
        const kycmDeviceInfo& device = require_record(info, "createTensor", "deviceInfo");
        const kycmShape record = to_library_shape(shape_arg(shape, "createTensor"));
        void* tensor = nullptr;
        check(kycmCreateTensor(device, record, type, &tensor), "create tensor error, ret: %d.");
        return Handle(tensor);
      },
      "Create a tensor for a device with specific shapes and data type.");
  m.def(
      "createTensorWithDataHandle",
      [](const kycmDeviceInfo* info, const kycmShapePy* shape, kycmDType type, Handle data, bool flag) {
        const kycmDeviceInfo& device = require_record(info, "createTensorWithDataHandle", "deviceInfo");
        const kycmShape record = to_library_shape(shape_arg(shape, "createTensorWithDataHandle"));
        refuse_record_object(data, "createTensorWithDataHandle", "a tensor's data");
        void* tensor = nullptr;
        check(kycmCreateTensorWithDataHandle(device, record, type, data.ptr, flag, &tensor),
              "create tensor with data handle error, ret: %d.");
        return Handle(tensor);
      },
      "Create a tensor with data handle for a device with specific shapes and data type.");
  m.def(
      "destroyTensor", [](Handle tensor) { return kycmDestroyTensor(tensor.ptr); }, "Destroy a tensor.");
  m.def(
      "getTensorDataHandle",
      [](Handle tensor) {
        void* data = nullptr;
        check(kycmGetTensorDataHandle(tensor.ptr, &data), "get tensor data handle error, ret: %d.");
        return Handle(data);
      },
      "Get the data handle of a tensor.");
  m.def(
      "setTensorDataHandle",
      [](Handle tensor, Handle data, bool flag) {
        refuse_record_object(data, "setTensorDataHandle", "a tensor's data");
        return kycmSetTensorDataHandle(tensor.ptr, data.ptr, flag);
      },
      "Set the data handle for a tensor.");
  m.def(
      "getTensorDeviceInfo",
      [](Handle tensor, kycmDeviceInfo* info) { return kycmGetTensorDeviceInfo(tensor.ptr, info); },
      "Get the device information of a tensor.");
  m.def(
      "getTensorShape",
      [](Handle tensor, kycmShapePy* shape) {
        kycmShapePy& adaptor = require_record(shape, "getTensorShape", "shape");
        kycmShape record{};
        const kycmRet_t code = kycmGetTensorShape(tensor.ptr, &record);
        // On failure the record means nothing; the adaptor stays as it was.
        if (code == 0) from_library_shape(record, adaptor);
        return code;
      },
      "Get the data shape of a tensor.");
  m.def(
      "setTensorShape",
      [](Handle tensor, const kycmShapePy* shape) {
        const kycmShape record = to_library_shape(shape_arg(shape, "setTensorShape"));
        return kycmSetTensorShape(tensor.ptr, &record);
      },
      "Set the data shape of a tensor.");
  m.def(
      "getTensorDataType",
      [](Handle tensor) {
        kycmDType type = kycmDT_UINT8;
        check(kycmGetTensorDataType(tensor.ptr, &type), "get tensor data type error, ret: %d.");
        return type;
      },
      "Get the data type of a tensor.");
  m.def(
      "setTensorDataType", [](Handle tensor, kycmDType type) { return kycmSetTensorDataType(tensor.ptr, type); },
      "Set the data type of a tensor.");
  m.def(
      "getTensorSize",
      [](Handle tensor) {
        uint64_t size = 0;
        check(kycmGetTensorSize(tensor.ptr, &size), "get tensor size error, ret: %d.");
        return size;
      },
      "Get the size of a tensor.");
}

}  // namespace quillon
