// Device memory and copies of the common runtime: allocation on the
// process's device, the three copy directions, copies between devices,
// fills, and their asynchronous forms.
//
// Every range is checked before a byte moves. Device ranges must lie inside
// one live block. Host ranges inside one of the runtime's host blocks
// (mallocHost) must stay inside it; any other host range is the caller's own
// memory, whose extent the runtime cannot know: it must be mapped, with its
// first and last bytes accessible, and must not run into a runtime block.
#include <cstring>
#include <functional>
#include <memory>

#include "kycm.h"
#include "kycore/c_boundary.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/host_access.h"
#include "kycore/host_memory.h"
#include "kycore/life_cycle.h"
#include "kycore/stream.h"
#include "kycore/test_control.h"
#include "objects.h"
#include "runtime_state.h"

using namespace kycore;

namespace {

// A checked range. A device range, or a host range in one of the runtime's
// host blocks, holds its block, so that a copy queued on a stream still has
// its memory if the block is freed before it runs.
struct Range {
  uint8_t* data = nullptr;
  std::shared_ptr<uint8_t> keep;
  int32_t device = kNoDevice;
};

bool initialized() { return kycm::runtime().initialized.load(std::memory_order_relaxed); }

uint32_t check_device_range(const void* address, uint64_t size, Range* range) {
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  if (!DeviceMemory::is_device_address(address)) return KYCM_WRONG_MEMORY_KIND;
  const DeviceMemory& memory = DeviceMemory::instance();
  DeviceSpan span = memory.resolve(address, size);
  if (span.data == nullptr) {
    return memory.resolve(address, 0).data != nullptr ? KYCM_OUT_OF_RANGE : KYCM_INVALID_ADDRESS;
  }
  range->data = span.data;
  range->keep = std::move(span.keep);
  range->device = span.device;
  return OK;
}

uint32_t check_host_range(const void* address, uint64_t size, HostAccess access, Range* range) {
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  if (DeviceMemory::is_device_address(address) || HandleRegistry::looks_like_handle(address)) {
    return KYCM_WRONG_MEMORY_KIND;
  }
  switch (HostMemory::instance().locate(address, size, &range->keep)) {
    case HostRange::inside:
      break;
    case HostRange::overlapping:
      return KYCM_OUT_OF_RANGE;
    case HostRange::outside:
      if (!host_range_accessible(address, size, access)) return KYCM_INVALID_ADDRESS;
      break;
  }
  range->data = static_cast<uint8_t*>(const_cast<void*>(address));
  return OK;
}

uint32_t check_copy(const void* source, void* destination, uint64_t size, uint32_t type, Range* from, Range* to) {
  uint32_t code = OK;
  switch (type) {
    case kycmCT_COPY_FROM_DEVICE:
      code = check_device_range(source, size, from);
      return code != OK ? code : check_host_range(destination, size, HostAccess::write, to);
    case kycmCT_COPY_TO_DEVICE:
      code = check_host_range(source, size, HostAccess::read, from);
      return code != OK ? code : check_device_range(destination, size, to);
    case kycmCT_COPY_DEVICE_TO_DEVICE:
      code = check_device_range(source, size, from);
      return code != OK ? code : check_device_range(destination, size, to);
    default:
      return KYCM_INVALID_COPY_TYPE;
  }
}

uint32_t check_device_copy(const void* source, uint32_t source_device, void* destination, uint32_t destination_device,
                           uint64_t size, Range* from, Range* to) {
  if (!kycm::valid_device(source_device) || !kycm::valid_device(destination_device)) return KYCM_INVALID_DEVICE;
  uint32_t code = check_device_range(source, size, from);
  if (code == OK) code = check_device_range(destination, size, to);
  if (code != OK) return code;
  if (from->device != static_cast<int32_t>(source_device) || to->device != static_cast<int32_t>(destination_device)) {
    return KYCM_WRONG_DEVICE;
  }
  return OK;
}

// Ranges may overlap when both lie in the same block.
std::function<uint32_t()> copy_work(Range from, Range to, uint64_t size) {
  return [from = std::move(from), to = std::move(to), size] {
    if (size != 0) std::memmove(to.data, from.data, size);
    return static_cast<uint32_t>(OK);
  };
}

// The default stream (null) runs the work at once: it is then ordered after
// everything submitted to it before and before everything submitted later.
// Any other stream must be a live stream handle.
uint32_t find_stream(void* stream, std::shared_ptr<Stream>* queue) {
  if (stream == nullptr) return OK;
  *queue = HandleRegistry::instance().find<Stream>(stream, HandleKind::stream);
  return *queue ? OK : KYCM_INVALID_HANDLE;
}

uint32_t submit(const std::shared_ptr<Stream>& queue, std::function<uint32_t()> work) {
  return queue ? queue->enqueue(std::move(work)) : work();
}

uint32_t allocate(uint64_t size, BlockOwner owner, void** address) {
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  *address = nullptr;
  auto lock = creating();
  if (!initialized()) return KYCM_NOT_INITIALIZED;
  return DeviceMemory::instance().allocate(static_cast<int32_t>(kycm::runtime().device.load()), size, owner, address);
}

uint32_t release(void* address, BlockOwner owner) {
  if (!initialized()) return KYCM_NOT_INITIALIZED;
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  if (!DeviceMemory::is_device_address(address)) return KYCM_WRONG_MEMORY_KIND;
  return DeviceMemory::instance().release(address, owner);
}

uint32_t memcpy_on(const void* source, void* destination, uint64_t size, uint32_t type, void* stream) {
  if (!initialized()) return KYCM_NOT_INITIALIZED;
  std::shared_ptr<Stream> queue;
  Range from, to;
  uint32_t code = find_stream(stream, &queue);
  if (code == OK) code = check_copy(source, destination, size, type, &from, &to);
  return code != OK ? code : submit(queue, copy_work(std::move(from), std::move(to), size));
}

uint32_t memcpy_devices_on(const void* source, uint32_t source_device, void* destination, uint32_t destination_device,
                           uint64_t size, void* stream) {
  if (!initialized()) return KYCM_NOT_INITIALIZED;
  std::shared_ptr<Stream> queue;
  Range from, to;
  uint32_t code = find_stream(stream, &queue);
  if (code == OK) code = check_device_copy(source, source_device, destination, destination_device, size, &from, &to);
  return code != OK ? code : submit(queue, copy_work(std::move(from), std::move(to), size));
}

uint32_t memset_on(void* address, int32_t value, uint64_t size, void* stream) {
  if (!initialized()) return KYCM_NOT_INITIALIZED;
  std::shared_ptr<Stream> queue;
  Range range;
  uint32_t code = find_stream(stream, &queue);
  if (code == OK) code = check_device_range(address, size, &range);
  if (code != OK) return code;
  // As C memset: the value's low byte fills the range.
  const auto byte = static_cast<unsigned char>(value);
  return submit(queue, [range = std::move(range), byte, size] {
    if (size != 0) std::memset(range.data, byte, size);
    return static_cast<uint32_t>(OK);
  });
}

}  // namespace

extern "C" {

KY_EXPORT kycmRet_t kycmMalloc(uint64_t size, void** address) try {
  KY_GATE("kycmMalloc", ::kycore::clear_output(address), size, address);
  return allocate(size, BlockOwner::runtime, address);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFree(void* address) try {
  KY_GATE("kycmFree", {}, address);
  // A tensor that took the block would be left pointing at freed memory.
  return kycm::release_unless_owned(address, [address] { return release(address, BlockOwner::runtime); });
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMallocModelInOut(uint64_t size, void** address) try {
  KY_GATE("kycmMallocModelInOut", ::kycore::clear_output(address), size, address);
  return allocate(size, BlockOwner::model_io, address);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFreeModelInOut(void* address) try {
  KY_GATE("kycmFreeModelInOut", {}, address);
  return release(address, BlockOwner::model_io);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemcpy(const void* source, void* destination, uint64_t size, kycmCopyMemType type) try {
  KY_GATE("kycmMemcpy", {}, source, destination, size, type);
  return memcpy_on(source, destination, size, static_cast<uint32_t>(type), nullptr);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemcpyAsync(const void* source, void* destination, uint64_t size, kycmCopyMemType type,
                                    void* stream) try {
  KY_GATE("kycmMemcpyAsync", {}, source, destination, size, type, stream);
  return memcpy_on(source, destination, size, static_cast<uint32_t>(type), stream);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemcpyDevices(const void* source, uint32_t source_device, void* destination,
                                      uint32_t destination_device, uint64_t size) try {
  KY_GATE("kycmMemcpyDevices", {}, source, source_device, destination, destination_device, size);
  return memcpy_devices_on(source, source_device, destination, destination_device, size, nullptr);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemcpyDevicesAsync(const void* source, uint32_t source_device, void* destination,
                                           uint32_t destination_device, uint64_t size, void* stream) try {
  KY_GATE("kycmMemcpyDevicesAsync", {}, source, source_device, destination, destination_device, size, stream);
  return memcpy_devices_on(source, source_device, destination, destination_device, size, stream);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemset(void* address, int32_t value, uint64_t size) try {
  KY_GATE("kycmMemset", {}, address, value, size);
  return memset_on(address, value, size, nullptr);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmMemsetAsync(void* address, int32_t value, uint64_t size, void* stream) try {
  KY_GATE("kycmMemsetAsync", {}, address, value, size, stream);
  return memset_on(address, value, size, stream);
}
KYCM_CATCH

}  // extern "C"
