// Backing store for large memory blocks (device memory and the runtime's
// host blocks). Large blocks are mapped directly, aligned to 2 MiB and
// advised for transparent huge pages: a 64 MiB block then costs 32 page
// faults on first touch instead of 16384, and freeing it returns the memory
// to the system at once.
//
// A large block starts 16 bytes into its mapping: that is where glibc's
// malloc puts large allocations, numpy arrays among them. glibc's memcpy
// takes its fastest path for large copies only when the destination's
// offset within a page is at most a few cache lines past the source's, so
// buffers that share one page offset copy fast in both directions (about
// 1.5x faster into fresh pages on the machines we measured).
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

// Blocks of at least this size are page-mapped; smaller ones come from the heap.
constexpr uint64_t kLargeBlockBytes = 2ull << 20;

// Memory for `size` bytes (not zero-filled for heap blocks), aligned to 64
// bytes (small blocks) or 16 bytes (large blocks), or null when the host has
// no memory left.
KY_EXPORT void* allocate_block(uint64_t size);
// Releases a block from allocate_block; `size` must be the size it was asked for.
KY_EXPORT void release_block(void* block, uint64_t size);

}  // namespace kycore
