// Reader buffers in guarded pages, and the quarantine that keeps released
// buffers' addresses inaccessible until later ones push them out.
#include "kyme/guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <new>

namespace quillon {
namespace {

// Released buffers stay reserved until this many later ones, or this much
// address space, have joined them (reserved address space costs no memory).
constexpr std::size_t kQuarantineBuffers = 64;
constexpr std::size_t kQuarantineBytes = std::size_t{4} << 30;

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_up(std::size_t value, std::size_t unit) { return (value + unit - 1) / unit * unit; }

struct Mapping {
  uint8_t* base;
  std::size_t length;
};

// Pages holding `size` bytes that start 64-byte aligned, and the guard page.
std::size_t accessible_length(std::size_t size) { return round_up(round_up(size, 64), page_size()); }

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
    while (held_.size() > kQuarantineBuffers || bytes_ > kQuarantineBytes) {
      munmap(held_.front().base, held_.front().length);
      bytes_ -= held_.front().length;
      held_.pop_front();
    }
  }

 private:
  std::mutex mutex_;
  std::deque<Mapping> held_;
  std::size_t bytes_ = 0;
};

Quarantine& quarantine() {
  static auto* held = new Quarantine();  // never destroyed: readers may be released at exit
  return *held;
}

}  // namespace

void GuardedBuffer::allocate(std::size_t size) {
  reset();
  if (size == 0) size = 1;
  const std::size_t accessible = accessible_length(size);
  if (accessible < size || accessible + page_size() < accessible) throw std::bad_alloc();
  void* raw = mmap(nullptr, accessible + page_size(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* base = static_cast<uint8_t*>(raw);
  if (mprotect(base, accessible, PROT_READ | PROT_WRITE) != 0) {
    munmap(raw, accessible + page_size());
    throw std::bad_alloc();
  }
  data_ = base + accessible - round_up(size, 64);
  size_ = size;
}

void GuardedBuffer::reset() {
  if (data_ == nullptr) return;
  const std::size_t accessible = accessible_length(size_);
  quarantine().add({data_ + round_up(size_, 64) - accessible, accessible + page_size()});
  data_ = nullptr;
  size_ = 0;
}

}  // namespace quillon
