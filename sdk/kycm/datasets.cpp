// Datasets: the inputs or outputs of one model run, as a list of data buffers
// or a list of tensors (chosen once by the mode), plus a user context pointer.
// A dataset holds handles, not the objects: destroying or clearing it leaves
// them alive, except kycmDestroyDatasetAll, which destroys them as well.
#include <algorithm>
#include <climits>
#include <vector>

#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/life_cycle.h"
#include "kycore/test_control.h"
#include "objects.h"
#include "runtime_state.h"

using namespace kycore;

namespace {

struct Dataset {
  std::mutex mutex;
  kycmDatasetMode mode = kycmDM_BUFFER;
  std::vector<void*> elements;
  void* user_context = nullptr;
};

std::shared_ptr<Dataset> find_dataset(const void* handle) {
  return HandleRegistry::instance().find<Dataset>(handle, HandleKind::dataset);
}

uint32_t add_element(void* dataset, void* element, kycmDatasetMode mode) {
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  if (object->mode != mode) return KYCM_DATASET_MODE;
  const bool live = mode == kycmDM_BUFFER ? static_cast<bool>(kycm::find_data_buffer(element))
                                          : static_cast<bool>(kycm::find_tensor(element));
  if (!live) return KYCM_INVALID_HANDLE;
  if (object->elements.size() >= static_cast<std::size_t>(INT32_MAX)) return KYCM_OUT_OF_HOST_MEMORY;
  object->elements.push_back(element);
  return OK;
}

uint32_t count_of(void* dataset, uint32_t* result, kycmDatasetMode mode) {
  if (result == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  // A dataset of the other mode simply holds none of this kind.
  *result = object->mode == mode ? static_cast<uint32_t>(object->elements.size()) : 0;
  return OK;
}

uint32_t get_element(void* dataset, int32_t index, void** result, kycmDatasetMode mode) {
  if (result == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  if (object->mode != mode) return KYCM_DATASET_MODE;
  if (index < 0 || static_cast<std::size_t>(index) >= object->elements.size()) return KYCM_INDEX_OUT_OF_RANGE;
  *result = object->elements[static_cast<std::size_t>(index)];
  return OK;
}

}  // namespace

extern "C" {

KY_EXPORT kycmRet_t kycmCreateDataset(kycmDatasetMode mode, void** dataset) try {
  KY_GATE("kycmCreateDataset", ::kycore::clear_output(dataset), mode, dataset);
  if (dataset == nullptr) return KYCM_INVALID_ARGUMENT;
  *dataset = nullptr;
  auto lock = creating();
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (mode != kycmDM_BUFFER && mode != kycmDM_TENSOR) return KYCM_INVALID_ARGUMENT;
  auto object = std::make_shared<Dataset>();
  object->mode = mode;
  *dataset = HandleRegistry::instance().add(HandleKind::dataset, std::move(object));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmDestroyDataset(void* dataset) try {
  KY_GATE("kycmDestroyDataset", {}, dataset);
  if (!HandleRegistry::instance().remove<Dataset>(dataset, HandleKind::dataset)) return KYCM_INVALID_HANDLE;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmAddDatasetBuffer(void* dataset, void* buffer) try {
  KY_GATE("kycmAddDatasetBuffer", {}, dataset, buffer);
  return add_element(dataset, buffer, kycmDM_BUFFER);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetBufferCount(void* dataset, uint32_t* count) try {
  KY_GATE("kycmGetDatasetBufferCount", ::kycore::clear_output(count), dataset, count);
  return count_of(dataset, count, kycmDM_BUFFER);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetBuffer(void* dataset, int32_t index, void** buffer) try {
  KY_GATE("kycmGetDatasetBuffer", ::kycore::clear_output(buffer), dataset, index, buffer);
  return get_element(dataset, index, buffer, kycmDM_BUFFER);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmAddDatasetTensor(void* dataset, void* tensor) try {
  KY_GATE("kycmAddDatasetTensor", {}, dataset, tensor);
  return add_element(dataset, tensor, kycmDM_TENSOR);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetTensorCount(void* dataset, uint32_t* count) try {
  KY_GATE("kycmGetDatasetTensorCount", ::kycore::clear_output(count), dataset, count);
  return count_of(dataset, count, kycmDM_TENSOR);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetTensor(void* dataset, int32_t index, void** tensor) try {
  KY_GATE("kycmGetDatasetTensor", ::kycore::clear_output(tensor), dataset, index, tensor);
  return get_element(dataset, index, tensor, kycmDM_TENSOR);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetMode(void* dataset, kycmDatasetMode* mode) try {
  KY_GATE("kycmGetDatasetMode", ::kycore::clear_output(mode), dataset, mode);
  if (mode == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *mode = object->mode;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDatasetUserCtx(void* dataset, void** context) try {
  KY_GATE("kycmGetDatasetUserCtx", ::kycore::clear_output(context), dataset, context);
  if (context == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *context = object->user_context;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetDatasetUserCtx(void* dataset, void* context) try {
  KY_GATE("kycmSetDatasetUserCtx", {}, dataset, context);
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  object->user_context = context;  // opaque to the runtime, never dereferenced
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmClearDataset(void* dataset) try {
  KY_GATE("kycmClearDataset", {}, dataset);
  auto object = find_dataset(dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  object->elements.clear();  // mode and user context stay
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmDestroyDatasetAll(void* dataset) try {
  KY_GATE("kycmDestroyDatasetAll", {}, dataset);
  auto object = HandleRegistry::instance().remove<Dataset>(dataset, HandleKind::dataset);
  if (!object) return KYCM_INVALID_HANDLE;
  std::vector<void*> elements;
  {
    std::lock_guard<std::mutex> lock(object->mutex);
    elements.swap(object->elements);
  }
  // Each element is destroyed once, even when it was added twice; elements
  // the caller already destroyed are skipped.
  auto& registry = HandleRegistry::instance();
  for (void* element : elements) {
    if (object->mode == kycmDM_BUFFER) {
      registry.remove<kycm::DataBuffer>(element, HandleKind::data_buffer);
    } else {
      registry.remove<kycm::Tensor>(element, HandleKind::tensor);
    }
  }
  return OK;
}
KYCM_CATCH

}  // extern "C"
