// Host blocks handed to callers, fenced by inaccessible pages: a read or
// write running past a block's end meets a page that faults (and that the
// range checks refuse), and a freed small block's pages stay reserved and
// inaccessible for a while, so that a stale address is refused rather than
// reaching whatever is allocated next.
#include "kycore/guarded_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <mutex>

#include "kycore/page_memory.h"

namespace kycore {
namespace {

constexpr uint64_t kHugePage = 2ull << 20;
constexpr uint64_t kLargeBlockOffset = 16;  // as page_memory's large blocks, for the same copy speed
// Freed blocks stay reserved until this many later ones, or this much
// address space, have joined them (reserved address space costs no memory).
constexpr std::size_t kQuarantineBlocks = 256;
constexpr uint64_t kQuarantineBytes = 512ull << 20;

uint64_t page_size() {
  static const auto size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

uint64_t round_up(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Where a block's mapping starts and how long it is, guard included.
struct Mapping {
  uint8_t* base;
  uint64_t length;
};

uint64_t rounded_size(uint64_t size) { return round_up(size, 64); }

Mapping mapping_of(uint8_t* block, uint64_t size) {
  const uint64_t page = page_size();
  if (size >= kLargeBlockBytes) {
    return {block - kLargeBlockOffset, round_up(kLargeBlockOffset + size + page, kHugePage)};
  }
  const uint64_t accessible = round_up(rounded_size(size), page);
  return {block + rounded_size(size) - accessible, accessible + page};
}

class Quarantine {
 public:
  void add(Mapping mapping) {
    // Replacing the pages with an inaccessible reservation gives their
    // memory back at once and keeps the addresses from being reused.
    if (mapping.length > kQuarantineBytes ||
        mmap(mapping.base, mapping.length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) ==
            MAP_FAILED) {
      munmap(mapping.base, mapping.length);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(mapping);
    bytes_ += mapping.length;
    while (held_.size() > kQuarantineBlocks || bytes_ > kQuarantineBytes) {
      munmap(held_.front().base, held_.front().length);
      bytes_ -= held_.front().length;
      held_.pop_front();
    }
  }

 private:
  std::mutex mutex_;
  std::deque<Mapping> held_;
  uint64_t bytes_ = 0;
};

Quarantine& quarantine() {
  static auto* held = new Quarantine();  // never destroyed: blocks are freed from static destructors
  return *held;
}

void* map_large(uint64_t size) {
  const uint64_t length = round_up(kLargeBlockOffset + size + page_size(), kHugePage);
  if (length < size || length + kHugePage < length) return nullptr;
  // One huge page more than needed, trimmed at both ends, so that the block
  // starts on a huge-page boundary.
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  auto* base = reinterpret_cast<uint8_t*>(aligned);
  const uint64_t accessible = round_up(kLargeBlockOffset + size, page_size());
  if (mprotect(base + accessible, length - accessible, PROT_NONE) != 0) {
    munmap(base, length);
    return nullptr;
  }
#ifdef MADV_HUGEPAGE
  madvise(base, accessible, MADV_HUGEPAGE);  // advice only: without huge pages the block still works
#endif
  return base + kLargeBlockOffset;
}

void* map_small(uint64_t size) {
  const uint64_t rounded = rounded_size(size);
  const uint64_t accessible = round_up(rounded, page_size());
  void* raw = mmap(nullptr, accessible + page_size(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto* base = static_cast<uint8_t*>(raw);
  if (mprotect(base, accessible, PROT_READ | PROT_WRITE) != 0) {
    munmap(raw, accessible + page_size());
    return nullptr;
  }
  return base + accessible - rounded;  // ends against the guard page, 64-byte aligned
}

}  // namespace

void* allocate_guarded_block(uint64_t size, bool* guarded) {
  *guarded = false;
  if (size == 0 || rounded_size(size) < size) return nullptr;
  void* block = size >= kLargeBlockBytes ? map_large(size) : map_small(size);
  if (block != nullptr) {
    *guarded = true;
    return block;
  }
  // Small blocks fall back to the heap when the process may map no more
  // areas (each guarded block takes two of the kernel's per-process limit).
  return size < kLargeBlockBytes ? allocate_block(size) : nullptr;
}

void release_guarded_block(void* block, uint64_t size, bool guarded) {
  if (block == nullptr) return;
  if (!guarded) {
    release_block(block, size);
    return;
  }
  const Mapping mapping = mapping_of(static_cast<uint8_t*>(block), size);
  // Large blocks are unmapped at once: holding their addresses back moves
  // the process's later large mappings around, which measurably slows the
  // copies of other large buffers.
  if (size >= kLargeBlockBytes) {
    munmap(mapping.base, mapping.length);
  } else {
    quarantine().add(mapping);
  }
}

}  // namespace kycore
