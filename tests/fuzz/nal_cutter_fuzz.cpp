// Fuzz target for the NAL unit cutter: the input is written to an in-memory
// file and cut with small blocks and a small unit limit, so that window
// moves, block edges and oversized units all occur. Every result is checked
// against a byte-at-a-time reading of the same rules.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kyme/nal_cutter.h"

namespace {

struct Expected {
  bool found;
  bool too_large;
  std::size_t start, end;
};

// The rules, one byte at a time from `pos`.
Expected reference_next(const uint8_t* data, std::size_t size, std::size_t pos, std::size_t max_unit) {
  std::size_t zeros = 0, i = pos;
  for (;; ++i) {
    if (i >= size) return {false, false, size, size};
    if (data[i] == 0) {
      ++zeros;
    } else if (data[i] == 1 && zeros >= 2) {
      break;
    } else {
      zeros = 0;
    }
  }
  const std::size_t start = i - (zeros < 3 ? zeros : 3);
  std::size_t end = size;
  zeros = 0;
  for (std::size_t j = i + 1; j < size; ++j) {
    if (data[j] == 0) {
      ++zeros;
    } else if (data[j] == 1 && zeros >= 2) {
      end = j - (zeros < 3 ? zeros : 3);
      break;
    } else {
      zeros = 0;
    }
  }
  if (end - start > max_unit) return {true, true, start, end};
  return {true, false, start, end};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t input_size) {
  if (input_size < 2) return 0;
  // The first two bytes choose the block size and the unit limit.
  const std::size_t block = 1 + input[0] % 64;
  const std::size_t max_unit = 4 + input[1] * 8;
  const uint8_t* data = input + 2;
  const std::size_t size = input_size - 2;

  const int fd = memfd_create("nal", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }

  quillon::NalCutter cutter(fd, max_unit, block);
  std::size_t pos = 0;
  for (int call = 0; call < 100000; ++call) {
    const Expected expected = reference_next(data, size, pos, max_unit);
    const uint8_t* unit = nullptr;
    std::size_t unit_size = 0;
    const auto status = cutter.next(&unit, &unit_size);
    if (!expected.found) {
      if (status != quillon::NalCutter::Status::end || cutter.position() != size) std::abort();
      // The end stays the end.
      if (cutter.next(&unit, &unit_size) != quillon::NalCutter::Status::end) std::abort();
      break;
    }
    if (expected.too_large) {
      if (status != quillon::NalCutter::Status::too_large || cutter.position() != expected.start) std::abort();
      // The same unit is refused again.
      if (cutter.next(&unit, &unit_size) != quillon::NalCutter::Status::too_large) std::abort();
      break;
    }
    if (status != quillon::NalCutter::Status::unit) std::abort();
    if (unit_size != expected.end - expected.start) std::abort();
    if (std::memcmp(unit, data + expected.start, unit_size) != 0) std::abort();
    if (cutter.position() != expected.end) std::abort();
    pos = expected.end;
  }
  close(fd);
  return 0;
}
