// Checks shared by data buffers and tensors: device descriptions, where a
// range of memory lives, and element sizes.
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/host_memory.h"
#include "objects.h"
#include "runtime_state.h"

namespace kycm {

using namespace kycore;

uint32_t check_device_info(const kycmDeviceInfo& info) {
  switch (info.deviceType) {
    case kycmDE_CPU:
      return OK;
    case kycmDE_KYCC:
      return valid_device(info.deviceIdx) ? OK : KYCM_INVALID_DEVICE;
    default:  // any other value a caller put in the record
      return KYCM_INVALID_DEVICE_TYPE;
  }
}

int32_t bound_device(const kycmDeviceInfo& info) {
  return info.deviceType == kycmDE_KYCC ? static_cast<int32_t>(info.deviceIdx) : kNoDevice;
}

uint32_t check_location(const kycmDeviceInfo& info, const void* address, uint64_t size) {
  if (const uint32_t code = check_device_info(info)) return code;
  if (address == nullptr) return size == 0 ? OK : KYCM_INVALID_ARGUMENT;
  const bool on_device = DeviceMemory::is_device_address(address);
  if (info.deviceType == kycmDE_CPU) {
    if (on_device) return KYCM_WRONG_MEMORY_KIND;
    if (HandleRegistry::looks_like_handle(address)) return KYCM_INVALID_ADDRESS;
    const auto& host = HostMemory::instance();
    if (host.contains(address, 0) && !host.contains(address, size)) return KYCM_OUT_OF_RANGE;
    return OK;
  }
  if (!on_device) return KYCM_WRONG_MEMORY_KIND;
  const auto& memory = DeviceMemory::instance();
  const DeviceSpan start = memory.resolve(address, 0);
  if (start.data == nullptr || start.device != static_cast<int32_t>(info.deviceIdx)) return KYCM_INVALID_ADDRESS;
  if (size > start.available) return KYCM_OUT_OF_RANGE;
  return OK;
}

uint32_t element_size(uint32_t type) {
  switch (type) {
    case kycmDT_UINT8:
    case kycmDT_INT8:
      return 1;
    case kycmDT_UINT16:
    case kycmDT_INT16:
    case kycmDT_FLOAT16:
    case kycmDT_BFLOAT:
      return 2;
    case kycmDT_UINT32:
    case kycmDT_INT32:
    case kycmDT_FLOAT32:
      return 4;
    default:
      return 0;
  }
}

}  // namespace kycm
