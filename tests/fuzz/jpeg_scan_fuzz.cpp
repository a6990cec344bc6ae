// Fuzz target for the JPEG file scan: the scan of bytes in memory is checked
// against a direct reading of the marker walk, and the scan of the same
// bytes as a file read in small blocks must agree with both.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kyme/jpeg_scan.h"

namespace {

using quillon::jpeg::ScanResult;

// The walk as written: every bound checked before a byte is read.
ScanResult reference_scan(const uint8_t* d, uint64_t n) {
  uint64_t saved = 0, p = 0;
  bool thumbnail = false;
  for (;;) {
    while (p < n && d[p] != 0xFF) ++p;
    if (p >= n || p + 1 >= n) return {saved, true};
    const uint8_t m = d[p + 1];
    if (m >= 0xE1 && m <= 0xEF) {
      if (p + 3 >= n) return {saved, true};
      const uint64_t next = p + 2 + (uint64_t(d[p + 2]) << 8 | d[p + 3]);
      if (next >= n) return {saved, true};
      p = next;
      continue;
    }
    if (m >= 0xC1 && m <= 0xCB && m != 0xC4) {
      if (p + 3 >= n) return {saved, true};
      const uint64_t length = uint64_t(d[p + 2]) << 8 | d[p + 3];
      const uint64_t r = p + 2 + length - 1;
      if (p + 2 + length > n) return {saved, true};
      uint64_t last = UINT64_MAX;
      for (uint64_t i = r; i + 1 < n; ++i) {
        if (d[i] == 0xFF && d[i + 1] == 0xD9) {
          if (i == n - 2) return {n, false};
          last = i;
        }
      }
      p = last != UINT64_MAX ? last : r;
      if (p + 1 >= n) return {saved, true};
    }
    const uint64_t q = p + 1;
    if (d[q] == 0xE0 && p + 9 < n && d[p + 4] == 'J' && d[p + 5] == 'F' && d[p + 6] == 'X' && d[p + 7] == 'X' &&
        d[p + 8] == 0 && d[p + 9] == 0x10) {
      thumbnail = true;
    }
    if (d[q] == 0xD9) {
      if (!thumbnail) return {p + 2, false};
      thumbnail = false;
      saved = p + 2;
    }
    p = q;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const ScanResult expected = reference_scan(data, size);
  const ScanResult in_memory = quillon::jpeg::scan(data, size);
  if (in_memory.length != expected.length || in_memory.eoi_missing != expected.eoi_missing) std::abort();
  if (in_memory.length > size) std::abort();

  const int fd = memfd_create("jpeg", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  quillon::jpeg::FileBuffer buffer;
  const std::size_t block = size > 0 ? 1 + data[0] % 37 : 1;
  const auto from_file = quillon::jpeg::scan_file(path, buffer, quillon::jpeg::kBufferCapacity, block);
  if (from_file.status != quillon::jpeg::FileScan::Status::ok) std::abort();
  if (from_file.result.length != expected.length || from_file.result.eoi_missing != expected.eoi_missing) {
    std::abort();
  }
  close(fd);
  return 0;
}
