// Backing store for large memory blocks (device memory and the runtime's
// host blocks). Large blocks are mapped directly, aligned to 2 MiB and
// advised for transparent huge pages: a 64 MiB block then costs 32 page
// faults on first touch instead of 16384, and freeing it returns the memory
// to the system at once.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

// Blocks of at least this size are page-mapped; smaller ones come from the heap.
constexpr uint64_t kLargeBlockBytes = 2ull << 20;

// Memory for `size` bytes (not zero-filled for heap blocks), aligned to at
// least 64 bytes, or null when the host has no memory left.
KY_EXPORT void* allocate_block(uint64_t size);
// Releases a block from allocate_block; `size` must be the size it was asked for.
KY_EXPORT void release_block(void* block, uint64_t size);

}  // namespace kycore
