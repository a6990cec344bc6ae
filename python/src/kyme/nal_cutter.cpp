// NAL unit cutting in blocks. The file is read into a window that always
// keeps the unit being cut; start codes are found by looking for their 0x01
// and counting the zeros before it, which gives the same units as counting
// zero runs byte by byte from the current position.
#include "kyme/nal_cutter.h"

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillon {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The first i in [from, end) with base[i - 2] == 0, base[i - 1] == 0 and
// base[i] == 1, or `end`; `from` is at least 2. Vector versions look at 16
// or 32 positions per step and leave the rest to the plain loop.
std::size_t find_zero_zero_one_plain(const uint8_t* base, std::size_t from, std::size_t end) {
  std::size_t i = from;
  while (i < end) {
    const void* hit = std::memchr(base + i, 0x01, end - i);
    if (hit == nullptr) return end;
    i = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - base);
    if (base[i - 1] == 0 && base[i - 2] == 0) return i;
    ++i;
  }
  return end;
}

#if defined(__x86_64__) || defined(__i386__)
std::size_t find_zero_zero_one_sse2(const uint8_t* base, std::size_t from, std::size_t end) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  std::size_t i = from;
  for (; i + 16 <= end; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i - 2));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i - 1));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const __m128i hits =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)), _mm_cmpeq_epi8(c, one));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return find_zero_zero_one_plain(base, i, end);
}

__attribute__((target("avx2"))) inline __m256i zero_zero_one_at(const uint8_t* p) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 2));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_and_si256(
      _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_setzero_si256()), _mm256_cmpeq_epi8(b, _mm256_setzero_si256())),
      _mm256_cmpeq_epi8(c, _mm256_set1_epi8(1)));
}

__attribute__((target("avx2"))) std::size_t find_zero_zero_one_avx2(const uint8_t* base, std::size_t from,
                                                                    std::size_t end) {
  std::size_t i = from;
  for (; i + 64 <= end; i += 64) {
    const auto low = static_cast<uint32_t>(_mm256_movemask_epi8(zero_zero_one_at(base + i)));
    const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(zero_zero_one_at(base + i + 32)));
    const uint64_t mask = low | static_cast<uint64_t>(high) << 32;
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctzll(mask));
  }
  return find_zero_zero_one_sse2(base, i, end);
}

using Finder = std::size_t (*)(const uint8_t*, std::size_t, std::size_t);

Finder pick_finder() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? find_zero_zero_one_avx2 : find_zero_zero_one_sse2;
}

std::size_t find_zero_zero_one(const uint8_t* base, std::size_t from, std::size_t end) {
  static const Finder finder = pick_finder();
  return finder(base, from, end);
}
#else
std::size_t find_zero_zero_one(const uint8_t* base, std::size_t from, std::size_t end) {
  return find_zero_zero_one_plain(base, from, end);
}
#endif

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
  // Dropping consumed blocks early keeps the window small and in the cache.
  if (keep_from >= block_ || (length_ + block_ > capacity_ && keep_from > 0)) {
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
  // A 0x01 needs two zeros before it, both at or after `origin`.
  std::size_t i = std::max(from, origin + 2);
  if (i < length_) i = find_zero_zero_one(base, i, length_);
  if (i >= length_) return kNone;
  *zeros = zeros_before(i, origin);
  return i;
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
