// Device memory of the host SDK. Each device has the capacity its platform
// entry gives; blocks are backed by host memory that only the SDK touches.
// Device addresses are non-canonical (0xDE in the top byte, the device in the
// next byte), so host code that dereferences one faults at once, as it would
// with the card. Freed addresses come back to their device only after a
// quarantine and after every never-used address (see address_range.h), so a
// stale address is refused for a long while; releasing a device's blocks
// frees its whole address range.
#pragma once

#include <cstdint>
#include <memory>

#include "kycore/export.h"

namespace kycore {

// Who may free a block: memory from one allocator is refused by another's free.
enum class BlockOwner : uint8_t { runtime = 1, model_io = 2, media = 3 };

struct DeviceSpan {
  std::shared_ptr<uint8_t> keep;  // holds the block while the span is used
  uint8_t* data = nullptr;        // host backing of the first byte
  int32_t device = -1;
  uint64_t available = 0;  // bytes from `data` to the block's end
};

class KY_EXPORT DeviceMemory {
 public:
  struct Block;  // one live block (device_memory.cpp)

  static DeviceMemory& instance();

  // 0 or an error code (invalid device, out of memory).
  uint32_t allocate(int32_t device, uint64_t size, BlockOwner owner, void** address);
  // 0, KYCM_INVALID_ADDRESS when the address is not the start of a live
  // block, or KYCM_WRONG_ALLOCATOR when the block has another owner.
  uint32_t release(const void* address, BlockOwner owner);
  // The same, but only while the block at `address` is still the one backed
  // by `backing`: a device reset frees blocks whose owners still hold spans,
  // and the address may since belong to a new block. KYCM_INVALID_ADDRESS
  // otherwise.
  uint32_t release(const void* address, BlockOwner owner, const std::shared_ptr<uint8_t>& backing);
  // True while `address` is the start of the live block backed by `backing`.
  bool holds(const void* address, const std::shared_ptr<uint8_t>& backing) const;

  // The host backing of [address, address + size) when the whole range lies
  // in one live block; `data` is null otherwise.
  DeviceSpan resolve(const void* address, uint64_t size) const;

  static bool is_device_address(const void* address);
  // True when `address` is the start of a live block of this owner.
  bool is_block_start(const void* address, BlockOwner owner) const;

  uint64_t used(int32_t device) const;
  std::size_t block_count(int32_t device) const;
  // Frees every block of a device, or of all devices with -1.
  void release_device(int32_t device);

 private:
  DeviceMemory();
  ~DeviceMemory();
  // Gives a block charged to the card its address range and host backing.
  uint32_t place(Block& block, uint64_t capacity, void** address);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kycore
