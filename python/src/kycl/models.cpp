// kycl: the model group (creating models, batch sizes, input and output
// descriptions).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "kycl.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/record_args.h"
#include "quillon/registration.h"
#include "quillon/shape.h"

namespace py = pybind11;

namespace quillon {
namespace {

const char* null_when_empty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// The records for a list of shape adaptors; more than six dimensions in any
// of them raise ValueError before the library is called.
std::vector<kycmShape> library_shapes(const std::vector<const kycmShapePy*>& shapes, const char* function) {
  std::vector<kycmShape> records;
  records.reserve(shapes.size());
  for (const kycmShapePy* shape : shapes) records.push_back(to_library_shape(require_record(shape, function, "shape")));
  return records;
}

// Status-returning shape queries: the library fills a zeroed record of the
// binding's own, which is then copied into the caller's adaptor.
template <class Query>
uint32_t shape_query(Query query, Handle model, int32_t index, kycmShapePy* shape, const char* function) {
  kycmShapePy& target = require_record(shape, function, "shape");
  kycmShape record{};
  const uint32_t code = query(model.ptr, index, &record);
  from_library_shape(record, target);
  return code;
}

template <class Query>
uint32_t count_query(Query query, Handle model, const char* message) {
  uint32_t value = 0;
  check(query(model.ptr, &value), message);
  return value;
}

}  // namespace

void register_models(py::module_& m) {
  m.def(
      "createModel",
      [](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
        void* model = nullptr;
        check(kyclCreateModel(a.c_str(), b.c_str(), c.c_str(), null_when_empty(d), &model),
              "create model error, ret: %d.");
        return Handle(model);
      },
      "create the kycl model");
  m.def(
      "destroyModel", [](Handle model) { return kyclDestroyModel(model.ptr); }, "destroy the kycl model");
  m.def(
      "createDynamicModel",
      [](const std::string& a, const std::string& b) {
        void* model = nullptr;
        check(kyclCreateDynamicModel(a.c_str(), null_when_empty(b), &model), "create dynamic model error, ret: %d.");
        return Handle(model);
      },
      "create the kycl model");
  m.def(
      "setDynamicModelInputShape",
      [](Handle model, const std::vector<const kycmShapePy*>& shapes) {
        const auto records = library_shapes(shapes, "setDynamicModelInputShape");
        return kyclSetDynamicModelInputShape(model.ptr, records.data(), static_cast<uint32_t>(records.size()));
      },
      "set the kycl model batch size");
  m.def(
      "setModelBatchSize", [](Handle model, uint32_t batch) { return kyclSetModelBatchSize(model.ptr, &batch); },
      "set the kycl model batch size");
  m.def(
      "getModelBatchSize",
      [](Handle model) { return count_query(kyclGetModelBatchSize, model, "get model batch size error, ret: %d."); },
      "get the kycl model batch size");
  m.def(
      "getModelMaxBatchSize",
      [](Handle model) {
        return count_query(kyclGetModelMaxBatchSize, model, "get model max batch size error, ret: %d.");
      },
      "get the kycl model max batch size");
  m.def(
      "getDynamicModelMaxBatchSize",
      [](Handle model, const std::vector<const kycmShapePy*>& shapes) {
        const auto records = library_shapes(shapes, "getDynamicModelMaxBatchSize");
        uint32_t value = 0;
        check(kyclGetDynamicModelMaxBatchSize(model.ptr, records.data(), static_cast<uint32_t>(records.size()), &value),
              "get dynamic model max batch size error, ret: %d.");
        return value;
      },
      "get the kycl model max batch size");
  m.def(
      "getModelInputCount",
      [](Handle model) { return count_query(kyclGetModelInputCount, model, "get model input count error, ret: %d."); },
      "Get the input count for a model.");
  m.def(
      "getModelOutputDataTypeByIndex",
      [](Handle model, int32_t index) {
        kycmDType type = kycmDT_UINT8;
        check(kyclGetModelOutputDataTypeByIndex(model.ptr, index, &type),
              "get model output data type by index error, ret: %d.");
        return type;
      },
      "Get the data type of a model's output by index.");
  m.def(
      "getModelOutputCount",
      [](Handle model) {
        return count_query(kyclGetModelOutputCount, model, "get model output count error, ret: %d.");
      },
      "Get the output count for a model.");
  m.def(
      "getModelInputShapeByIndex",
      [](Handle model, int32_t index, kycmShapePy* shape) {
        return shape_query(kyclGetModelInputShapeByIndex, model, index, shape, "getModelInputShapeByIndex");
      },
      "Get the input shape by index for a model.");
  m.def(
      "getModelOutputSizeByIndex",
      [](Handle model, int32_t index) {
        uint64_t size = 0;
        check(kyclGetModelOutputSizeByIndex(model.ptr, index, &size), "get model output size by index error, ret: %d.");
        return size;
      },
      "Get the output data size by index for a model.");
  m.def(
      "getModelOutputShapeByIndex",
      [](Handle model, int32_t index, kycmShapePy* shape) {
        return shape_query(kyclGetModelOutputShapeByIndex, model, index, shape, "getModelOutputShapeByIndex");
      },
      "Get the output shape by index for a model.");
}

}  // namespace quillon
