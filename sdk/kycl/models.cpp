// The model functions of libkycl: creating models from files, their batch
// size and input shapes, and what their inputs and outputs are.
#include <cstring>

#include "graph.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/test_control.h"
#include "model.h"

using kycore::HandleKind;
using kycore::HandleRegistry;

namespace kycl {

std::shared_ptr<Model> find_model(const void* handle) {
  return HandleRegistry::instance().find<Model>(handle, HandleKind::model);
}

namespace {

uint32_t create(const char* path, bool dynamic, void** model) {
  if (path == nullptr || model == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto loaded = std::make_shared<Model>();
  loaded->dynamic = dynamic;
  const uint32_t code = loaded->load(path);
  if (code != kycore::OK) return code;
  *model = HandleRegistry::instance().add(HandleKind::model, loaded);
  return kycore::OK;
}

// Shapes for every input from the caller's records, checked against the
// file: same rank, fixed dimensions unchanged, symbolic ones positive.
uint32_t shapes_from(const Model& model, const kycmShape* shapes, uint32_t count,
                     std::vector<std::vector<int64_t>>* result) {
  if (count != model.inputs.size() || (shapes == nullptr && count != 0)) return kycore::KYCM_INVALID_ARGUMENT;
  for (uint32_t i = 0; i < count; ++i) {
    const auto& declared = model.inputs[i].dims;
    if (shapes[i].ndims != declared.size()) return kycore::KYCM_INVALID_SHAPE;
    std::vector<int64_t> shape(shapes[i].dims, shapes[i].dims + shapes[i].ndims);
    for (std::size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] <= 0 || (declared[d] > 0 && declared[d] != shape[d])) return kycore::KYCM_INVALID_SHAPE;
    }
    if (!shape.empty() && model.symbolic_batch && shape[0] > kMaxDynamicBatch) return kycore::KYCL_BATCH_TOO_LARGE;
    result->push_back(std::move(shape));
  }
  return kycore::OK;
}

const TensorInfo* tensor_at(const std::vector<TensorInfo>& list, int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return nullptr;
  return &list[static_cast<std::size_t>(index)];
}

void to_record(const std::vector<int64_t>& dims, kycmShape* shape) {
  *shape = kycmShape{};
  shape->ndims = static_cast<uint32_t>(dims.size());
  std::copy(dims.begin(), dims.end(), shape->dims);
}

}  // namespace
}  // namespace kycl

using namespace kycl;

#define KYCL_FIND_MODEL(handle)                   \
  auto found = find_model(handle);                \
  if (!found) return kycore::KYCM_INVALID_HANDLE; \
  std::lock_guard<std::mutex> hold(found->lock)

extern "C" KY_API kyclRet_t kyclCreateModel(const char* path, const char* a, const char* b, const char* c,
                                            void** model) try {
  KY_GATE("kyclCreateModel", ::kycore::clear_output(model), path, a, b, c, static_cast<const void*>(model));
  if (a == nullptr || b == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  return create(path, false, model);
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclCreateDynamicModel(const char* path, const char* a, void** model) try {
  KY_GATE("kyclCreateDynamicModel", ::kycore::clear_output(model), path, a, static_cast<const void*>(model));
  return create(path, true, model);
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclDestroyModel(void* model) try {
  KY_GATE("kyclDestroyModel", {}, model);
  // Run-model ops keep the model object alive until they go.
  return HandleRegistry::instance().remove<Model>(model, HandleKind::model) ? kycore::OK : kycore::KYCM_INVALID_HANDLE;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclSetDynamicModelInputShape(void* model, const kycmShape* shapes, uint32_t count) try {
  KY_GATE("kyclSetDynamicModelInputShape", {}, model, static_cast<const void*>(shapes), count);
  KYCL_FIND_MODEL(model);
  if (!found->dynamic) return kycore::KYCM_INVALID_ARGUMENT;
  std::vector<std::vector<int64_t>> wanted;
  const uint32_t code = shapes_from(*found, shapes, count, &wanted);
  return code != kycore::OK ? code : found->reshape(wanted);
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclSetModelBatchSize(void* model, const uint32_t* batch) try {
  KY_GATE("kyclSetModelBatchSize", {}, model, static_cast<const void*>(batch));
  if (batch == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  if (*batch == 0 || *batch > found->max_batch()) return kycore::KYCL_BATCH_TOO_LARGE;
  std::vector<std::vector<int64_t>> wanted;
  for (const auto& input : found->inputs) {
    wanted.push_back(input.current);
    if (!wanted.back().empty()) wanted.back()[0] = *batch;
  }
  return found->reshape(wanted);
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelBatchSize(void* model, uint32_t* batch) try {
  KY_GATE("kyclGetModelBatchSize", ::kycore::clear_output(batch), model, static_cast<const void*>(batch));
  if (batch == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  *batch = found->batch();
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelMaxBatchSize(void* model, uint32_t* batch) try {
  KY_GATE("kyclGetModelMaxBatchSize", ::kycore::clear_output(batch), model, static_cast<const void*>(batch));
  if (batch == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  *batch = found->max_batch();
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetDynamicModelMaxBatchSize(void* model, const kycmShape* shapes, uint32_t count,
                                                            uint32_t* batch) try {
  KY_GATE("kyclGetDynamicModelMaxBatchSize", ::kycore::clear_output(batch), model, static_cast<const void*>(shapes),
          count, static_cast<const void*>(batch));
  if (batch == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  std::vector<std::vector<int64_t>> wanted;
  const uint32_t code = shapes_from(*found, shapes, count, &wanted);
  if (code != kycore::OK) return code;
  *batch = found->symbolic_batch ? kMaxDynamicBatch : found->max_batch();
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelInputCount(void* model, uint32_t* count) try {
  KY_GATE("kyclGetModelInputCount", ::kycore::clear_output(count), model, static_cast<const void*>(count));
  if (count == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  *count = static_cast<uint32_t>(found->inputs.size());
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelOutputCount(void* model, uint32_t* count) try {
  KY_GATE("kyclGetModelOutputCount", ::kycore::clear_output(count), model, static_cast<const void*>(count));
  if (count == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  *count = static_cast<uint32_t>(found->outputs.size());
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelOutputDataTypeByIndex(void* model, int32_t index, kycmDType* type) try {
  KY_GATE("kyclGetModelOutputDataTypeByIndex", ::kycore::clear_output(type), model, index,
          static_cast<const void*>(type));
  if (type == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  const TensorInfo* output = tensor_at(found->outputs, index);
  if (output == nullptr) return kycore::KYCM_INDEX_OUT_OF_RANGE;
  *type = output->type;
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelInputShapeByIndex(void* model, int32_t index, kycmShape* shape) try {
  KY_GATE("kyclGetModelInputShapeByIndex", ::kycore::clear_output(shape), model, index,
          static_cast<const void*>(shape));
  if (shape == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  const TensorInfo* input = tensor_at(found->inputs, index);
  if (input == nullptr) return kycore::KYCM_INDEX_OUT_OF_RANGE;
  to_record(input->current, shape);
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelOutputShapeByIndex(void* model, int32_t index, kycmShape* shape) try {
  KY_GATE("kyclGetModelOutputShapeByIndex", ::kycore::clear_output(shape), model, index,
          static_cast<const void*>(shape));
  if (shape == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  const TensorInfo* output = tensor_at(found->outputs, index);
  if (output == nullptr) return kycore::KYCM_INDEX_OUT_OF_RANGE;
  to_record(output->current, shape);
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetModelOutputSizeByIndex(void* model, int32_t index, uint64_t* size) try {
  KY_GATE("kyclGetModelOutputSizeByIndex", ::kycore::clear_output(size), model, index, static_cast<const void*>(size));
  if (size == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  KYCL_FIND_MODEL(model);
  const TensorInfo* output = tensor_at(found->outputs, index);
  if (output == nullptr) return kycore::KYCM_INDEX_OUT_OF_RANGE;
  *size = output->byte_size();
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclCreateRunModelOp(void* model, void** op) try {
  KY_GATE("kyclCreateRunModelOp", ::kycore::clear_output(op), model, static_cast<const void*>(op));
  if (op == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_model(model);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  auto run = std::make_shared<Op>();
  run->kind = Op::Kind::run_model;
  run->model = found;
  *op = HandleRegistry::instance().add(HandleKind::op, run);
  return kycore::OK;
}
KYCL_CATCH
