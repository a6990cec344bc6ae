// Memory for the runtime's host blocks (kycmMallocHost and what is built on
// it). Such a block ends against an inaccessible page, so a read running
// past its end is caught instead of returning whatever lies behind it. A
// small block takes whole pages, and they stay inaccessible for a while
// after it is freed, so a stale address is refused instead of reading a
// later block. A large one starts 16 bytes into a huge-page-aligned
// mapping, as page_memory's, may be followed by up to a page less 16 bytes
// of accessible slack, and is unmapped when freed.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

// Memory for `size` bytes, 64-byte aligned (small blocks, which end at most
// 63 bytes before the guard) or 16 bytes into a 2 MiB boundary (large
// blocks); null when the host has no memory left. `*guarded` is false when
// the block came from the heap because no more pages could be mapped.
KY_EXPORT void* allocate_guarded_block(uint64_t size, bool* guarded);
// Releases a block from allocate_guarded_block, with its size and `guarded`.
KY_EXPORT void release_guarded_block(void* block, uint64_t size, bool guarded);

}  // namespace kycore
