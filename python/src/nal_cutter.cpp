// NAL unit cutting in blocks. The file is read into a window that always
// keeps the unit being cut; start codes are found by looking for their 0x01
// and counting the zeros before it, which gives the same units as counting
// zero runs byte by byte from the current position.
#include "quillon/nal_cutter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillon {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

}  // namespace

NalCutter::NalCutter(int fd, std::size_t max_unit, std::size_t block)
    : fd_(fd),
      max_unit_(std::max<std::size_t>(max_unit, 1)),
      block_(std::max<std::size_t>(block, 1)),
      // The window holds a whole unit, the start code after it and one block.
      capacity_(max_unit_ + block_ + 8),
      buffer_(new uint8_t[capacity_]) {}

// Reads one more block, first dropping the bytes before `keep_from` when the
// window is full; `dropped` tells how far indices moved. False at the end of
// the file (a read error ends the stream the same way).
bool NalCutter::fill(std::size_t keep_from, std::size_t* dropped) {
  *dropped = 0;
  if (length_ + block_ > capacity_ && keep_from > 0) {
    std::memmove(buffer_.get(), buffer_.get() + keep_from, length_ - keep_from);
    window_offset_ += keep_from;
    length_ -= keep_from;
    *dropped = keep_from;
  }
  const std::size_t room = std::min(block_, capacity_ - length_);
  if (room == 0) return false;
  for (;;) {
    const ssize_t got = ::pread(fd_, buffer_.get() + length_, room, static_cast<off_t>(window_offset_ + length_));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    length_ += static_cast<std::size_t>(got);
    return true;
  }
}

std::size_t NalCutter::zeros_before(std::size_t index, std::size_t origin) const {
  std::size_t zeros = 0;
  while (zeros < 3 && index > origin + zeros && buffer_[index - zeros - 1] == 0) ++zeros;
  return zeros;
}

std::size_t NalCutter::find_start_code(std::size_t from, std::size_t origin, std::size_t* zeros) const {
  const uint8_t* base = buffer_.get();
  while (from < length_) {
    const void* hit = std::memchr(base + from, 0x01, length_ - from);
    if (hit == nullptr) return kNone;
    const std::size_t index = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - base);
    const std::size_t count = zeros_before(index, origin);
    if (count >= 2) {
      *zeros = count;
      return index;
    }
    from = index + 1;
  }
  return kNone;
}

NalCutter::Status NalCutter::next(const uint8_t** data, std::size_t* size) {
  // The start code that opens the unit; zeros count from the current position.
  std::size_t origin = position_;
  std::size_t from = position_;
  std::size_t zeros = 0;
  std::size_t one = kNone;
  for (;;) {
    one = find_start_code(from, origin, &zeros);
    if (one != kNone) break;
    // Only the last three bytes can still be part of a start code.
    origin = std::max(origin, length_ >= 3 ? length_ - 3 : 0);
    from = length_;
    std::size_t dropped = 0;
    const bool more = fill(origin, &dropped);
    origin -= dropped;
    from -= dropped;
    if (!more) {
      position_ = length_;
      return Status::end;
    }
  }
  std::size_t start = one - zeros;

  // The start code that ends it, or the end of the file.
  std::size_t end = 0;
  from = one + 1;
  for (;;) {
    const std::size_t next_one = find_start_code(from, one + 1, &zeros);
    if (next_one != kNone) {
      end = next_one - zeros;
      break;
    }
    // A start code found later would end the unit at length_ - 3 or after.
    if (length_ - start > max_unit_ + 3) {
      position_ = start;
      return Status::too_large;
    }
    from = length_;
    std::size_t dropped = 0;
    const bool more = fill(start, &dropped);
    start -= dropped;
    one -= dropped;
    from -= dropped;
    if (!more) {
      end = length_;
      break;
    }
  }
  if (end - start > max_unit_) {
    position_ = start;
    return Status::too_large;
  }
  position_ = end;
  *data = buffer_.get() + start;
  *size = end - start;
  return Status::unit;
}

}  // namespace quillon
