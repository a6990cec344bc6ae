// Large blocks mapped with huge-page advice; small blocks from the heap.
#include "kycore/page_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace kycore {
namespace {

constexpr uint64_t kHugePage = 2ull << 20;
constexpr uint64_t kLargeBlockOffset = 16;  // see the header

uint64_t mapped_length(uint64_t size) { return (size + kLargeBlockOffset + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_block(uint64_t size) {
  if (size < kLargeBlockBytes) {
    const uint64_t rounded = (size + 63) / 64 * 64;
    return rounded < size || rounded == 0 ? nullptr : std::aligned_alloc(64, rounded);
  }
  const uint64_t length = mapped_length(size);
  if (length < size || length + kHugePage < length) return nullptr;
  // Map one huge page more than needed and trim both ends, so that the block
  // starts on a huge-page boundary and the kernel can back it with huge pages.
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, length, MADV_HUGEPAGE);  // advice only: without huge pages the block still works
#endif
  return static_cast<uint8_t*>(block) + kLargeBlockOffset;
}

void release_block(void* block, uint64_t size) {
  if (block == nullptr) return;
  if (size < kLargeBlockBytes) {
    std::free(block);
  } else {
    munmap(static_cast<uint8_t*>(block) - kLargeBlockOffset, mapped_length(size));
  }
}

}  // namespace kycore
