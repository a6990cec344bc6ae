// The common runtime's library objects behind handles (data buffers and
// tensors) and the checks they share: where a block of memory lives, element
// sizes, and which memory blocks tensors own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "kycm.h"

namespace kycm {

struct DataBuffer {
  mutable std::mutex mutex;
  kycmDeviceInfo info{};
  void* address = nullptr;
  uint64_t size = 0;
};

struct Tensor {
  mutable std::mutex mutex;
  kycmDeviceInfo info{};
  kycmShape shape{};
  kycmDType type = kycmDT_UINT8;
  void* data = nullptr;
  bool owns_data = false;  // the tensor frees `data` when destroyed

  ~Tensor();
};

std::shared_ptr<DataBuffer> find_data_buffer(const void* handle);
std::shared_ptr<Tensor> find_tensor(const void* handle);

// 0, or the code refusing `info` (unknown device type, invalid device).
uint32_t check_device_info(const kycmDeviceInfo& info);

// The device a handle describing memory of `info` is bound to (released
// with it on reset), or kNoDevice for host memory.
int32_t bound_device(const kycmDeviceInfo& info);

// 0 when [address, address + size) is memory of the kind `info` names: for a
// device, inside one live block of that device; for the host, any address
// that is neither device memory nor a handle, and inside its block when the
// runtime allocated it. A null address is accepted only with size 0.
uint32_t check_location(const kycmDeviceInfo& info, const void* address, uint64_t size);

// Bytes per element, 0 for kycmDT_ANY and values that are not data types.
uint32_t element_size(uint32_t type);

// Memory handed to tensors: a block owned by a tensor cannot be freed through
// the runtime's free functions, nor owned by a second tensor. Runs `release`
// (the free) unless a tensor owns `address`; no tensor can take the block
// meanwhile.
uint32_t release_unless_owned(const void* address, const std::function<uint32_t()>& release);

}  // namespace kycm
