// A reader's buffer in pages of its own, fenced by inaccessible pages. Its
// addresses reach Python in streams and frames (and in capsules taken from
// them), which the module cannot take back: once the buffer is released,
// its pages stay reserved and inaccessible for a while, so that the module's
// readability check refuses a stale address instead of reading freed memory
// or a later buffer; and a read running past the end meets a guard page.
// Plain C++ without Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

class GuardedBuffer {
 public:
  GuardedBuffer() = default;
  ~GuardedBuffer() { reset(); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Replaces the buffer by one of `size` bytes (at least one), 64-byte
  // aligned, ending at most 63 bytes before an inaccessible page. Throws
  // std::bad_alloc.
  void allocate(std::size_t size);
  // Gives the pages back; the addresses stay inaccessible for a while.
  void reset();
  uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quillon
