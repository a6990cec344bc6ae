// The JPEG file scan. It walks the markers of the file: application segments
// 1 to 15 are skipped by their length (they may embed thumbnails with their
// own end-of-image), a JFXX extension in segment 0 announces a JPEG-coded
// thumbnail whose end-of-image is not the picture's, and after a frame header
// other than baseline and Huffman tables the last end-of-image in the file
// is the one that counts. Bytes are read from a file only as the walk
// reaches them.
#include "kyme/jpeg_scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kyme/regular_file.h"

namespace quillon {
namespace jpeg {
namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// Loads more of the bytes on request; reading stops early (and shrinks the
// size) when the source ends or fails.
class Loader {
 public:
  virtual ~Loader() = default;
  // Loads at least through `pos` if the source has it; returns the new
  // number of loaded bytes, updating `size` if the source ended early.
  virtual uint64_t load_through(uint64_t pos, uint64_t& size) = 0;
};

// The scanned bytes: [0, loaded) are valid, [0, size) exist.
class Bytes {
 public:
  Bytes(const uint8_t* data, uint64_t size, uint64_t loaded, Loader* loader)
      : data_(data), size_(size), loaded_(loaded), loader_(loader) {}

  // True when `pos` lies within the data; loads it first if needed.
  bool has(uint64_t pos) {
    if (pos < loaded_) return true;
    if (pos >= size_ || loader_ == nullptr) return false;
    loaded_ = loader_->load_through(pos, size_);
    return pos < loaded_;
  }
  uint8_t at(uint64_t pos) const { return data_[pos]; }
  uint16_t be16(uint64_t pos) const { return static_cast<uint16_t>(data_[pos] << 8 | data_[pos + 1]); }

  // The first `value` at or after `from`, or kNone.
  uint64_t find(uint8_t value, uint64_t from) {
    while (has(from)) {
      const void* hit = std::memchr(data_ + from, value, loaded_ - from);
      if (hit != nullptr) return static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - data_);
      from = loaded_;
    }
    return kNone;
  }

  uint64_t load_all() {
    if (size_ > 0) has(size_ - 1);
    return size_;
  }

  // Position of the 0xFF of the last FF D9 pair in the data, or kNone.
  uint64_t last_end_of_image() {
    if (last_eoi_known_) return last_eoi_;
    const uint64_t n = load_all();
    last_eoi_known_ = true;
    for (uint64_t i = n; i >= 2; --i) {
      if (data_[i - 1] == 0xD9 && data_[i - 2] == 0xFF) return last_eoi_ = i - 2;
    }
    return last_eoi_ = kNone;
  }

  uint64_t size() const { return size_; }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t loaded_;
  Loader* loader_;
  bool last_eoi_known_ = false;
  uint64_t last_eoi_ = kNone;
};

// Frame headers after which the last end-of-image of the file is the one
// that counts: the start-of-frame markers other than baseline (C0), leaving
// out C4 (Huffman tables).
bool is_late_frame_header(uint8_t m) { return (m >= 0xC1 && m <= 0xCB && m != 0xC4); }

ScanResult run_scan(Bytes& bytes) {
  uint64_t saved = 0;  // length up to the end of an embedded thumbnail
  bool in_thumbnail = false;
  uint64_t p = 0;
  for (;;) {
    p = bytes.find(0xFF, p);
    if (p == kNone || !bytes.has(p + 1)) return {saved, true};
    const uint8_t marker = bytes.at(p + 1);

    if (marker >= 0xE1 && marker <= 0xEF) {
      // Both length bytes must lie in the data.
      if (!bytes.has(p + 3)) return {saved, true};
      const uint64_t next = p + 2 + bytes.be16(p + 2);
      if (!bytes.has(next)) return {saved, true};
      p = next;
      continue;
    }

    if (is_late_frame_header(marker)) {
      if (!bytes.has(p + 3)) return {saved, true};
      const uint64_t length = bytes.be16(p + 2);
      const uint64_t last = p + 2 + length - 1;  // the segment's last byte
      if (!bytes.has(p + 1 + length)) return {saved, true};
      const uint64_t n = bytes.load_all();
      if (n >= 2 && n - 2 >= last && bytes.at(n - 2) == 0xFF && bytes.at(n - 1) == 0xD9) return {n, false};
      const uint64_t eoi = bytes.last_end_of_image();
      p = (eoi != kNone && eoi >= last) ? eoi : last;
      if (!bytes.has(p + 1)) return {saved, true};
    }

    const uint64_t q = p + 1;
    const uint8_t at_q = bytes.at(q);
    if (at_q == 0xE0 && bytes.has(p + 9) && bytes.at(p + 4) == 'J' && bytes.at(p + 5) == 'F' &&
        bytes.at(p + 6) == 'X' && bytes.at(p + 7) == 'X' && bytes.at(p + 8) == 0) {
      if (bytes.at(p + 9) == 0x10) in_thumbnail = true;  // thumbnail coded as JPEG
    }
    if (at_q == 0xD9) {
      if (!in_thumbnail) return {p + 2, false};
      in_thumbnail = false;
      saved = p + 2;
    }
    p = q;
  }
}

// Reads a file into the caller's block as the scan asks for more.
class FileLoader final : public Loader {
 public:
  FileLoader(int fd, uint8_t* buffer, std::size_t block) : fd_(fd), buffer_(buffer), block_(block) {}

  uint64_t load_through(uint64_t pos, uint64_t& size) override {
    while (loaded_ <= pos && loaded_ < size) {
      const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(pos + 1 - loaded_, block_), size - loaded_);
      const ssize_t got = ::pread(fd_, buffer_ + loaded_, want, static_cast<off_t>(loaded_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got < 0) error_ = errno;
        size = loaded_;  // the file ended early or failed: scan what was read
        break;
      }
      loaded_ += static_cast<uint64_t>(got);
    }
    return loaded_;
  }

  int error() const { return error_; }

 private:
  int fd_;
  uint8_t* buffer_;
  std::size_t block_;
  uint64_t loaded_ = 0;
  int error_ = 0;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

ScanResult scan(const uint8_t* data, uint64_t size) {
  Bytes bytes(data, size, size, nullptr);
  return run_scan(bytes);
}

FileBuffer::~FileBuffer() { reset(); }

void FileBuffer::reserve(uint64_t size) {
  size = std::max<uint64_t>(size, 1);
  // A block much larger than needed is given back, with the pages an
  // earlier, larger file made resident.
  if (size <= capacity_ && capacity_ / 2 <= size) return;
  reset();
  // Large blocks come straight from the kernel and cost memory only where
  // they are written.
  data_ = static_cast<uint8_t*>(std::malloc(size));
  if (data_ == nullptr) throw std::bad_alloc();
  capacity_ = size;
}

void FileBuffer::reset() {
  std::free(data_);
  data_ = nullptr;
  capacity_ = 0;
}

FileScan scan_file(const std::string& path, FileBuffer& buffer, uint64_t capacity, std::size_t block) {
  FileScan out;
  uint64_t size = 0;
  Descriptor file(open_regular_file(path, &size));
  if (file.get() < 0) {
    out.status = FileScan::Status::open_failed;
    out.error = errno;
    return out;
  }
  size = std::min(size, capacity);
  buffer.reserve(size);

  FileLoader loader(file.get(), buffer.data(), std::max<std::size_t>(block, 1));
  Bytes bytes(buffer.data(), size, 0, &loader);
  out.result = run_scan(bytes);
  if (loader.error() != 0) {
    out.status = FileScan::Status::read_failed;
    out.error = loader.error();
  }
  return out;
}

}  // namespace jpeg
}  // namespace quillon
