// Host memory handed out by the runtime (kycmMallocHost): tracked so that a
// free of an unknown or already freed address is refused, and so that copies
// can check that a host range lies inside a live block.
#pragma once

#include <cstdint>
#include <memory>

#include "kycore/export.h"

namespace kycore {

// Where a host range lies relative to the runtime's live host blocks.
enum class HostRange : uint8_t {
  inside,       // wholly inside one live block
  outside,      // touches no live block: the caller's own memory
  overlapping,  // starts in a block and runs past its end, or runs into one
};

class KY_EXPORT HostMemory {
 public:
  static HostMemory& instance();

  // 0 or an error code; `*address` is the new block.
  uint32_t allocate(uint64_t size, void** address);
  // 0, or KYCM_INVALID_ADDRESS when `address` is not the start of a live block.
  uint32_t release(const void* address);
  // True when [address, address + size) lies inside one live block.
  bool contains(const void* address, uint64_t size) const;
  // For a range inside a block, `keep` (when given) receives a reference that
  // keeps the block's memory alive after the block is freed.
  HostRange locate(const void* address, uint64_t size, std::shared_ptr<uint8_t>* keep = nullptr) const;
  // True when `address` is the start of a live block.
  bool is_block_start(const void* address) const;
  uint64_t used() const;
  std::size_t block_count() const;

 private:
  HostMemory();
  ~HostMemory();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kycore
