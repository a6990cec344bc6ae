// The JPEG file scan: finds how many bytes of a file make up its JPEG image,
// up to the end-of-image marker that closes the main picture (a thumbnail's
// own end-of-image inside an application segment does not count). Plain C++
// without Python, so that fuzz targets link it as is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {
namespace jpeg {

// At most this many bytes of a file are loaded and scanned.
constexpr uint64_t kBufferCapacity = 0x20000000;

struct ScanResult {
  uint64_t length = 0;       // bytes of the image; 0 when none was found
  bool eoi_missing = false;  // no proper end of image: `length` is that of an earlier thumbnail, if any
};

// Scans bytes that are all in memory.
ScanResult scan(const uint8_t* data, uint64_t size);

// A host block that receives a file; grown when a file needs more, never
// touched beyond what was read into it.
class FileBuffer {
 public:
  FileBuffer() = default;
  ~FileBuffer();
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  // Makes room for `size` bytes (at least one), keeping the block when it
  // fits without being more than twice as large. Throws std::bad_alloc.
  void reserve(uint64_t size);
  void reset();  // frees the block
  uint8_t* data() const { return data_; }
  uint64_t capacity() const { return capacity_; }

 private:
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
};

struct FileScan {
  enum class Status { ok, open_failed, read_failed };
  Status status = Status::ok;
  int error = 0;  // errno of a failure
  ScanResult result;
};

// Reads the file at `path` into `buffer` (at most `capacity` bytes, taken
// from the file's 64-bit size) block by block, only as far as the scan needs
// it, and scans it. Only a regular file is read; anything else fails to open
// (see open_regular_file). On success the image is the first `result.length` bytes
// of `buffer`. Nothing is printed; failures are reported in the result.
FileScan scan_file(const std::string& path, FileBuffer& buffer, uint64_t capacity = kBufferCapacity,
                   std::size_t block = std::size_t{1} << 20);

}  // namespace jpeg
}  // namespace quillon
