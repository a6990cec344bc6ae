// Data buffers: library objects describing a block of host or device memory
// (address, size, device). A buffer never owns the memory it describes.
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/life_cycle.h"
#include "kycore/test_control.h"
#include "objects.h"
#include "runtime_state.h"

using namespace kycore;
using kycm::DataBuffer;

namespace kycm {

std::shared_ptr<DataBuffer> find_data_buffer(const void* handle) {
  return HandleRegistry::instance().find<DataBuffer>(handle, HandleKind::data_buffer);
}

}  // namespace kycm

namespace {

uint32_t create(const kycmDeviceInfo& info, void* address, uint64_t size, void** buffer) {
  if (buffer == nullptr) return KYCM_INVALID_ARGUMENT;
  *buffer = nullptr;
  auto lock = creating();
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (const uint32_t code = kycm::check_location(info, address, size)) return code;
  auto object = std::make_shared<DataBuffer>();
  object->info = info;
  object->address = address;
  object->size = size;
  *buffer = HandleRegistry::instance().add(HandleKind::data_buffer, std::move(object), kycm::bound_device(info));
  return OK;
}

}  // namespace

extern "C" {

KY_EXPORT kycmRet_t kycmCreateDataBuffer(kycmDeviceInfo info, void* address, uint64_t size, void** buffer) try {
  KY_GATE("kycmCreateDataBuffer", ::kycore::clear_output(buffer), info.deviceType, info.deviceIdx, address, size,
          buffer);
  return create(info, address, size, buffer);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmCreateDataBufferFromContext(kycmDeviceType type, void* address, uint64_t size,
                                                    void** buffer) try {
  KY_GATE("kycmCreateDataBufferFromContext", ::kycore::clear_output(buffer), type, address, size, buffer);
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  // The device comes from the calling thread's current context.
  const kycmDeviceInfo info{type, type == kycmDE_KYCC ? kycm::current_thread_device() : 0u};
  return create(info, address, size, buffer);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmDestroyDataBuffer(void* buffer) try {
  KY_GATE("kycmDestroyDataBuffer", {}, buffer);
  if (!HandleRegistry::instance().remove<DataBuffer>(buffer, HandleKind::data_buffer)) return KYCM_INVALID_HANDLE;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDataBufferAddr(void* buffer, void** address) try {
  KY_GATE("kycmGetDataBufferAddr", ::kycore::clear_output(address), buffer, address);
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_data_buffer(buffer);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *address = object->address;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDataBufferSize(void* buffer, uint64_t* size) try {
  KY_GATE("kycmGetDataBufferSize", ::kycore::clear_output(size), buffer, size);
  if (size == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_data_buffer(buffer);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *size = object->size;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDataBufferDeviceInfo(void* buffer, kycmDeviceInfo* info) try {
  KY_GATE("kycmGetDataBufferDeviceInfo", {}, buffer, info);
  if (info == nullptr) return KYCM_INVALID_ARGUMENT;
  auto object = kycm::find_data_buffer(buffer);
  if (!object) return KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(object->mutex);
  *info = object->info;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmUpdateDataBuffer(void* buffer, kycmDeviceInfo info, void* address, uint64_t size) try {
  KY_GATE("kycmUpdateDataBuffer", {}, buffer, info.deviceType, info.deviceIdx, address, size);
  auto object = kycm::find_data_buffer(buffer);
  if (!object) return KYCM_INVALID_HANDLE;
  // A reset must not free the memory between the check and the rebinding.
  auto life_cycle = creating();
  if (const uint32_t code = kycm::check_location(info, address, size)) return code;
  std::lock_guard<std::mutex> lock(object->mutex);
  object->info = info;
  object->address = address;
  object->size = size;
  // The buffer now goes with the device of the memory it describes.
  HandleRegistry::instance().rebind<DataBuffer>(buffer, HandleKind::data_buffer, kycm::bound_device(info));
  return OK;
}
KYCM_CATCH

}  // extern "C"
