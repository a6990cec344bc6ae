// Tensors: a device description, an element type, a shape of up to six
// dimensions and the memory holding the elements. A tensor owns its memory
// when it allocated it (kycmCreateTensor) or was handed it with
// takeOwnership; owned memory is freed with the tensor and cannot be freed
// through kycmFree/kycmFreeHost meanwhile.
#include <unordered_set>

#include "kycore/c_boundary.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/host_memory.h"
#include "kycore/life_cycle.h"
#include "kycore/test_control.h"
#include "objects.h"
#include "runtime_state.h"

using namespace kycore;
using kycm::Tensor;

namespace {

struct Ownership {
  std::mutex mutex;
  std::unordered_set<const void*> owned;
};

Ownership& ownership() {
  static auto* state = new Ownership();  // never destroyed: tensors die in static destructors
  return *state;
}

// Held across every change of a block's ownership and every free of a block
// that a tensor could own, so that a block is never freed while a tensor takes
// it, nor taken while it is being freed.
std::unique_lock<std::mutex> lock_ownership() { return std::unique_lock<std::mutex>(ownership().mutex); }

void claim(const void* address) {
  auto lock = lock_ownership();
  ownership().owned.insert(address);
}

void unclaim(const void* address) {
  auto lock = lock_ownership();
  ownership().owned.erase(address);
}

void release_owned(void* data) {
  auto lock = lock_ownership();
  ownership().owned.erase(data);
  // Either may already be gone (device reset, runtime released): not an error.
  if (DeviceMemory::is_device_address(data)) {
    DeviceMemory::instance().release(data, BlockOwner::runtime);
  } else {
    HostMemory::instance().release(data);
  }
}

// Only whole blocks from the runtime's allocators can be handed over, since
// the tensor frees them with the matching allocator.
uint32_t take_ownership(const kycmDeviceInfo& info, void* data) {
  auto lock = lock_ownership();
  const bool whole_block = info.deviceType == kycmDE_KYCC
                               ? DeviceMemory::instance().is_block_start(data, BlockOwner::runtime)
                               : HostMemory::instance().is_block_start(data);
  if (!whole_block) return KYCM_INVALID_ADDRESS;
  return ownership().owned.insert(data).second ? OK : KYCM_MEMORY_OWNED_BY_TENSOR;
}

uint32_t byte_size(const kycmShape& shape, uint32_t type, uint64_t* bytes) {
  if (shape.ndims > KYCM_MAX_DIMS) return KYCM_INVALID_SHAPE;
  const uint32_t element = kycm::element_size(type);
  if (element == 0) return KYCM_INVALID_DATA_TYPE;
  uint64_t total = element;
  for (uint32_t i = 0; i < shape.ndims; ++i) {
    if (shape.dims[i] < 0) return KYCM_INVALID_SHAPE;
    if (__builtin_mul_overflow(total, static_cast<uint64_t>(shape.dims[i]), &total)) return KYCM_INVALID_SHAPE;
  }
  *bytes = total;
  return OK;
}

// The shape as stored: the dimensions in use, unused slots zero.
kycmShape normalised(const kycmShape& shape) {
  kycmShape result{};
  result.ndims = shape.ndims;
  for (uint32_t i = 0; i < shape.ndims && i < KYCM_MAX_DIMS; ++i) result.dims[i] = shape.dims[i];
  return result;
}

uint32_t allocate(const kycmDeviceInfo& info, uint64_t bytes, void** data) {
  if (info.deviceType == kycmDE_KYCC) {
    return DeviceMemory::instance().allocate(static_cast<int32_t>(info.deviceIdx), bytes, BlockOwner::runtime, data);
  }
  return HostMemory::instance().allocate(bytes, data);
}

void* publish(std::shared_ptr<Tensor> tensor) {
  const int32_t device = kycm::bound_device(tensor->info);
  return HandleRegistry::instance().add(HandleKind::tensor, std::move(tensor), device);
}

}  // namespace

namespace kycm {

Tensor::~Tensor() {
  if (owns_data && data != nullptr) release_owned(data);
}

std::shared_ptr<Tensor> find_tensor(const void* handle) {
  return HandleRegistry::instance().find<Tensor>(handle, HandleKind::tensor);
}

uint32_t release_unless_owned(const void* address, const std::function<uint32_t()>& release) {
  auto lock = lock_ownership();
  if (ownership().owned.count(address) != 0) return KYCM_MEMORY_OWNED_BY_TENSOR;
  return release();
}

}  // namespace kycm

extern "C" {

KY_EXPORT kycmRet_t kycmCreateTensor(kycmDeviceInfo info, kycmShape shape, kycmDType type, void** tensor) try {
  KY_GATE("kycmCreateTensor", ::kycore::clear_output(tensor), info.deviceType, info.deviceIdx, shape.ndims,
          shape.dims[0], shape.dims[1], shape.dims[2], shape.dims[3], shape.dims[4], shape.dims[5], type, tensor);
  if (tensor == nullptr) return KYCM_INVALID_ARGUMENT;
  *tensor = nullptr;
  auto lock = creating();
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (const uint32_t code = kycm::check_device_info(info)) return code;
  uint64_t bytes = 0;
  if (const uint32_t code = byte_size(shape, type, &bytes)) return code;
  auto object = std::make_shared<Tensor>();
  object->info = info;
  object->shape = normalised(shape);
  object->type = type;
  if (bytes > 0) {
    if (const uint32_t code = allocate(info, bytes, &object->data)) return code;
    claim(object->data);
    object->owns_data = true;
  }
  *tensor = publish(std::move(object));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmCreateTensorWithDataHandle(kycmDeviceInfo info, kycmShape shape, kycmDType type, void* data,
                                                   bool takeOwnership, void** tensor) try {
  KY_GATE("kycmCreateTensorWithDataHandle", ::kycore::clear_output(tensor), info.deviceType, info.deviceIdx,
          shape.ndims, shape.dims[0], shape.dims[1], shape.dims[2], shape.dims[3], shape.dims[4], shape.dims[5], type,
          data, takeOwnership, tensor);
  if (tensor == nullptr) return KYCM_INVALID_ARGUMENT;
  *tensor = nullptr;
  auto lock = creating();
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (data == nullptr) return KYCM_INVALID_ARGUMENT;
  uint64_t bytes = 0;
  if (const uint32_t code = kycm::check_device_info(info)) return code;
  if (const uint32_t code = byte_size(shape, type, &bytes)) return code;
  if (const uint32_t code = kycm::check_location(info, data, bytes)) return code;
  if (takeOwnership) {
    if (const uint32_t code = take_ownership(info, data)) return code;
  }
  auto object = std::make_shared<Tensor>();
  object->info = info;
  object->shape = normalised(shape);
  object->type = type;
  object->data = data;
  object->owns_data = takeOwnership;
  *tensor = publish(std::move(object));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmDestroyTensor(void* tensor) try {
  KY_GATE("kycmDestroyTensor", {}, tensor);
  // The tensor's owned memory goes with the last reference to it.
  if (!HandleRegistry::instance().remove<Tensor>(tensor, HandleKind::tensor)) return KYCM_INVALID_HANDLE;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetTensorDataHandle(void* tensor, void** data) try {
  KY_GATE("kycmGetTensorDataHandle", ::kycore::clear_output(data), tensor, data);
  if (data == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *data = object->data;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetTensorDataHandle(void* tensor, void* data, bool takeOwnership) try {
  KY_GATE("kycmSetTensorDataHandle", {}, tensor, data, takeOwnership);
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  // A reset must not free new memory between its check and the hand-over.
  auto life_cycle = creating();
  std::lock_guard<std::mutex> lock(object->mutex);
  if (data == nullptr) {
    // Detaches the memory: owned memory is freed, the tensor has none after.
    if (takeOwnership) return KYCM_INVALID_ARGUMENT;
    if (object->owns_data && object->data != nullptr) release_owned(object->data);
    object->data = nullptr;
    object->owns_data = false;
    return OK;
  }
  uint64_t bytes = 0;
  if (const uint32_t code = byte_size(object->shape, object->type, &bytes)) return code;
  if (const uint32_t code = kycm::check_location(object->info, data, bytes)) return code;
  if (data == object->data) {
    // Same memory: only its ownership changes hands.
    if (takeOwnership && !object->owns_data) {
      if (const uint32_t code = take_ownership(object->info, data)) return code;
    } else if (!takeOwnership && object->owns_data) {
      unclaim(data);
    }
    object->owns_data = takeOwnership;
    return OK;
  }
  if (takeOwnership) {
    if (const uint32_t code = take_ownership(object->info, data)) return code;
  }
  if (object->owns_data && object->data != nullptr) release_owned(object->data);
  object->data = data;
  object->owns_data = takeOwnership;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetTensorDeviceInfo(void* tensor, kycmDeviceInfo* info) try {
  KY_GATE("kycmGetTensorDeviceInfo", {}, tensor, info);
  if (info == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *info = object->info;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetTensorShape(void* tensor, kycmShape* shape) try {
  KY_GATE("kycmGetTensorShape", ::kycore::clear_output(shape), tensor, shape);
  if (shape == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *shape = object->shape;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetTensorShape(void* tensor, const kycmShape* shape) try {
  KY_GATE("kycmSetTensorShape", {}, tensor, shape);
  if (shape == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  uint64_t bytes = 0;
  if (const uint32_t code = byte_size(*shape, object->type, &bytes)) return code;
  // The elements must still fit the tensor's memory.
  if (object->data != nullptr) {
    if (const uint32_t code = kycm::check_location(object->info, object->data, bytes)) return code;
  }
  object->shape = normalised(*shape);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetTensorDataType(void* tensor, kycmDType* type) try {
  KY_GATE("kycmGetTensorDataType", ::kycore::clear_output(type), tensor, type);
  if (type == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *type = object->type;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetTensorDataType(void* tensor, kycmDType type) try {
  KY_GATE("kycmSetTensorDataType", {}, tensor, type);
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  uint64_t bytes = 0;
  if (const uint32_t code = byte_size(object->shape, type, &bytes)) return code;
  if (object->data != nullptr) {
    if (const uint32_t code = kycm::check_location(object->info, object->data, bytes)) return code;
  }
  object->type = type;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetTensorSize(void* tensor, uint64_t* size) try {
  KY_GATE("kycmGetTensorSize", ::kycore::clear_output(size), tensor, size);
  if (size == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_tensor(tensor);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  return byte_size(object->shape, object->type, size);
}
KYCM_CATCH

}  // extern "C"
