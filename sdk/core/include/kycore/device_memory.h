// Device memory of the host SDK. Each device has the capacity its platform
// entry gives; blocks are backed by host memory that only the SDK touches.
// Device addresses are non-canonical (0xDE in the top byte, the device in the
// next byte), so host code that dereferences one faults at once, as it would
// with the card. Freed addresses come back to their device only after a
// quarantine and after every never-used address (see address_range.h), so a
// stale address is refused for a long while; releasing a device's blocks
// frees its whole address range.
//
// A block's bytes may be written late: a decoder hands out a picture whose
// copy out of the codec waits until someone reads or writes the block (see
// defer_fill), so a picture that is only looked at by a reader able to take
// it from where the codec left it, or released unread, is never copied.
#pragma once

#include <cstddef>
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

// The 8-bit 4:2:0 planes, apart, that a deferred fill lays out as NV12.
struct PlanarPicture {
  const uint8_t* planes[3] = {};  // Y, U, V
  std::ptrdiff_t strides[3] = {};
  int width = 0;  // luma samples
  int height = 0;
  // The NV12 layout the fill writes: luma rows of luma_stride bytes, the
  // interleaved U,V plane from chroma_offset on.
  uint64_t luma_stride = 0;
  uint64_t chroma_offset = 0;
};

// Writes a block's bytes when they are first needed. Both calls may come
// from any thread, at once; `fill` is called at most once.
class KY_EXPORT DeferredFill {
 public:
  virtual ~DeferredFill();
  // `block` is the block's first byte.
  virtual void fill(uint8_t* block) noexcept = 0;
  // When the bytes are an NV12 picture made from planes a reader may take
  // as they are: those planes, valid while this object lives.
  virtual bool nv12_source(PlanarPicture* /*source*/) const { return false; }
};

class KY_EXPORT DeviceMemory {
 public:
  struct Block;  // one live block (device_memory.cpp)
  struct Pending;

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
  // in one live block; `data` is null otherwise. A fill still pending for
  // the block is done first.
  DeviceSpan resolve(const void* address, uint64_t size) const;

  // Leaves the bytes of the block that starts at `address` (while it is the
  // one backed by `backing`) to `fill`, done when the block is next
  // resolved; a null `fill` drops a pending one unrun. False when the block
  // is gone.
  bool defer_fill(const void* address, const std::shared_ptr<uint8_t>& backing, std::shared_ptr<DeferredFill> fill);
  // The fill pending for the block that starts at `address`, or null, and
  // the block's device: a reader that can take the bytes from the fill need
  // not have them written.
  std::shared_ptr<const DeferredFill> pending_fill(const void* address, int32_t* device) const;

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
  // Runs `pending` (once, whoever asks first) and detaches it from the block at `start`.
  void complete(uint64_t start, const std::shared_ptr<Pending>& pending, uint8_t* block) const;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kycore
