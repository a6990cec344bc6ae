// Cuts an H.264 or HEVC Annex B elementary stream file into NAL units, one
// per call, each with its own start code. A start code is two or more zero
// bytes and a 0x01, of which at most three zeros belong to it; further zeros
// stay with the unit before. Plain C++ without Python, so that fuzz targets
// link it as is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillon {

class NalCutter {
 public:
  static constexpr std::size_t kMaxUnit = 0x1000000;  // the decoder's largest stream buffer
  static constexpr std::size_t kBlock = std::size_t{1} << 20;

  enum class Status { unit, end, too_large };

  // Reads the open file `fd` from offset 0 in blocks of `block` bytes; units
  // longer than `max_unit` are refused. Does not own `fd`. Throws
  // std::bad_alloc when its buffer cannot be allocated.
  explicit NalCutter(int fd, std::size_t max_unit = kMaxUnit, std::size_t block = kBlock);

  // The next unit. On `unit`, [data, data + size) holds it until the next
  // call, and the position moves to the first byte of the next start code
  // (or the end of the file). On `end` the position is the end of the file;
  // on `too_large` it stays at the start of the oversized unit, so the same
  // unit is refused again. A file that grows is read further.
  Status next(const uint8_t** data, std::size_t* size);

  // File offset where the next call begins.
  uint64_t position() const { return window_offset_ + position_; }

  // The buffer every returned unit lies in.
  const uint8_t* buffer() const { return buffer_.get(); }
  std::size_t capacity() const { return capacity_; }

 private:
  bool fill(std::size_t keep_from, std::size_t* dropped);
  std::size_t zeros_before(std::size_t index, std::size_t origin) const;
  // The first start code whose 0x01 lies at or after `from`, counting zeros
  // no further back than `origin`; returns the index of the 0x01 or npos.
  std::size_t find_start_code(std::size_t from, std::size_t origin, std::size_t* zeros) const;

  int fd_;
  std::size_t max_unit_;
  std::size_t block_;
  std::size_t capacity_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t window_offset_ = 0;  // file offset of buffer_[0]
  std::size_t length_ = 0;      // valid bytes in buffer_
  std::size_t position_ = 0;    // where the next call begins, in buffer_
};

}  // namespace quillon
