// The arithmetic is cv::resize's for 8-bit planes with INTER_LINEAR, so the
// tensor equals the step-by-step ops: 11-bit fixed-point weights from float
// source positions, a horizontal pass into 32-bit sums, and a vertical pass
// that drops 4 bits of each sum and truncates each product to its top 16 bits
// before rounding (not the exact rounding of the whole sum, which differs by
// one now and then). A plane halved exactly on both axes is averaged by
// cv::resize instead, over each 2 x 2 block: for one channel that equals the
// bilinear arithmetic, for the two of the chroma plane it rounds halves to
// even, so chroma is averaged here too. The colour conversion is the 20-bit fixed point of
// OpenCV's NV12 to RGB conversion.
#include "yuv_resize_tensor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <opencv2/core/utility.hpp>
#include <vector>

#include "yuv_bt601.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kyce {
namespace {

// The row kernels are compiled into each build of convert_pairs below.
#define KYCE_ROW_KERNEL inline __attribute__((always_inline))

constexpr int kWeightBits = 11;
constexpr int kOne = 1 << kWeightBits;

// Source positions and weights along one axis, for the destination
// positions first .. first + count - 1 of a resize from `source` to
// `destination`: source indices near and far, weighted w0 and w1.
struct Taps {
  std::vector<int> near;
  std::vector<int> far;
  std::vector<int> w0;
  std::vector<int> w1;
  std::vector<int> pair;  // w0 and w1 as the low and high 16 bits, for one multiply-add of both neighbours
};

int16_t fixed_weight(float weight) { return cv::saturate_cast<int16_t>(weight * static_cast<float>(kOne)); }

// Columns clamp position and weight at both edges; rows keep the weight and
// clamp only the row index, as cv::resize does. A column clamped to the last
// source pixel reads it as the far one of the last pair (weights 0 and 1, the
// same sum), so that every column reads two adjacent pixels at once.
Taps linear_taps(int source, int destination, int first, int count, bool columns) {
  const double scale = 1.0 / (static_cast<double>(destination) / source);
  Taps t;
  t.near.resize(count);
  t.far.resize(count);
  t.w0.resize(count);
  t.w1.resize(count);
  for (int i = 0; i < count; ++i) {
    const int d = first + i;
    float f = static_cast<float>((d + 0.5) * scale - 0.5);
    int s = cvFloor(f);
    f -= static_cast<float>(s);
    if (columns && s < 0) {
      f = 0;
      s = 0;
    }
    if (columns && s >= source - 1) {
      f = 0;
      s = source - 1;
    }
    t.near[i] = std::clamp(s, 0, source - 1);
    t.far[i] = std::clamp(s + 1, 0, source - 1);
    t.w0[i] = fixed_weight(1.0F - f);
    t.w1[i] = fixed_weight(f);
    if (columns && source > 1 && t.near[i] == source - 1) {
      t.near[i] = source - 2;
      std::swap(t.w0[i], t.w1[i]);
    }
  }
  t.pair.resize(count);
  for (int i = 0; i < count; ++i) {
    t.pair[i] = static_cast<int>(static_cast<uint32_t>(static_cast<uint16_t>(t.w0[i])) |
                                 static_cast<uint32_t>(static_cast<uint16_t>(t.w1[i])) << 16);
  }
  return t;
}

#if defined(__x86_64__) || defined(__i386__)
#define KYCE_HAVE_AVX2_PASSES 1

// Each lane's first two bytes (a pixel and its right neighbour) as the two
// 16-bit halves of the lane: one multiply-add of 16-bit pairs then weighs
// both (exactly: 255 x 2048 fits).
__attribute__((target("avx2"))) inline __m256i neighbours(__m256i lanes) {
  return _mm256_or_si256(_mm256_and_si256(lanes, _mm256_set1_epi32(0xff)),
                         _mm256_and_si256(_mm256_slli_epi32(lanes, 8), _mm256_set1_epi32(0xff0000)));
}

// Eight taps at a time with AVX2 gathers: each lane reads 4 bytes from its
// tap's position, which must stay inside the row, so the run stops at the
// first block whose last (largest) position is too near the row's end.
// Returns how many taps were done.
__attribute__((target("avx2"))) int luma_taps_avx2(const uint8_t* row0, const uint8_t* row1, const Taps& x, int cols,
                                                   int* sums0, int* sums1) {
  const int n = static_cast<int>(x.near.size());
  int i = 0;
  for (; i + 8 <= n && x.near[i + 7] + 4 <= cols; i += 8) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.near.data() + i));
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.pair.data() + i));
    const __m256i a = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row0), at, 1);
    const __m256i b = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row1), at, 1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums0 + i), _mm256_madd_epi16(neighbours(a), w));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums1 + i), _mm256_madd_epi16(neighbours(b), w));
  }
  return i;
}

// Eight U,V pixel pairs weighed into 16 interleaved sums: each lane is
// U0 V0 U1 V1, so its U bytes (and, shifted, its V bytes) are already the
// two 16-bit halves a multiply-add weighs.
__attribute__((target("avx2"))) void weigh_chroma(__m256i pixels, __m256i w, int* out) {
  const __m256i low_bytes = _mm256_set1_epi32(0x00ff00ff);
  const __m256i u = _mm256_madd_epi16(_mm256_and_si256(pixels, low_bytes), w);
  const __m256i v = _mm256_madd_epi16(_mm256_and_si256(_mm256_srli_epi32(pixels, 8), low_bytes), w);
  const __m256i low = _mm256_unpacklo_epi32(u, v);
  const __m256i high = _mm256_unpackhi_epi32(u, v);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(low, high, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_permute2x128_si256(low, high, 0x31));
}

// The same for the two-channel chroma plane: each lane's 4 bytes are exactly
// its pair of U,V pixels, and the sums are stored interleaved.
__attribute__((target("avx2"))) int chroma_taps_avx2(const uint8_t* row0, const uint8_t* row1, const Taps& x,
                                                     int* sums0, int* sums1) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.near.size());
  std::ptrdiff_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i at = _mm256_slli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.near.data() + i)), 1);
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.pair.data() + i));
    weigh_chroma(_mm256_i32gather_epi32(reinterpret_cast<const int*>(row0), at, 1), w, sums0 + 2 * i);
    weigh_chroma(_mm256_i32gather_epi32(reinterpret_cast<const int*>(row1), at, 1), w, sums1 + 2 * i);
  }
  return static_cast<int>(i);
}

// Sixteen 16-bit values packed from two registers of eight 32-bit ones, as
// sixteen bytes clamped to 0..255. Packs work within each 128-bit half, so
// the values lie in groups of four in the order 0-3 8-11 (low half) 4-7
// 12-15 (high half): the bytes are put back in order.
__attribute__((target("avx2"))) inline __m128i bytes_in_order(__m256i packed_words) {
  const __m256i bytes = _mm256_packus_epi16(packed_words, _mm256_setzero_si256());
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// Sixteen 32-bit values, each shifted right by `shift`, as sixteen bytes:
// packs saturate to the 16-bit range, then to 0..255, which is the clamp.
__attribute__((target("avx2"))) inline __m128i shifted_bytes(__m256i first, __m256i second, int shift) {
  return bytes_in_order(_mm256_packs_epi32(_mm256_srai_epi32(first, shift), _mm256_srai_epi32(second, shift)));
}

// Sixteen sums less 4 bits, which fit 16 bits, in the order of the packs.
__attribute__((target("avx2"))) inline __m256i shifted_sums(const int* s) {
  const __m256i first = _mm256_srai_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)), 4);
  const __m256i second = _mm256_srai_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 8)), 4);
  return _mm256_packs_epi32(first, second);
}

// The vertical pass sixteen values at a time, as cv::resize does it: the
// high half of each 16-bit product with the weight is the scalar pass's
// (a * b) >> 16. Returns how many values were done.
__attribute__((target("avx2"))) int vertical_avx2(const int* s0, const int* s1, int b0, int b1, int count,
                                                  uint8_t* out) {
  const __m256i w0 = _mm256_set1_epi16(static_cast<int16_t>(b0));
  const __m256i w1 = _mm256_set1_epi16(static_cast<int16_t>(b1));
  const __m256i two = _mm256_set1_epi16(2);
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mulhi_epi16(shifted_sums(s0 + i), w0), _mm256_mulhi_epi16(shifted_sums(s1 + i), w1)),
        two);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes_in_order(_mm256_srai_epi16(sum, 2)));
  }
  return i;
}

// Eight pixels of NV12, from their luma bytes and their four U,V pairs (the
// low 8 bytes of each), as the scalar conversion's sums before the shift.
__attribute__((target("avx2"))) inline void nv12_sums(__m128i luma, __m128i chroma, __m256i* r, __m256i* g,
                                                      __m256i* b) {
  using namespace bt601;
  const __m256i l = _mm256_mullo_epi32(
      _mm256_max_epi32(_mm256_sub_epi32(_mm256_cvtepu8_epi32(luma), _mm256_set1_epi32(16)), _mm256_setzero_si256()),
      _mm256_set1_epi32(kLuma));
  const __m256i pairs = _mm256_sub_epi32(_mm256_cvtepu8_epi32(chroma), _mm256_set1_epi32(128));
  const __m256i u = _mm256_shuffle_epi32(pairs, _MM_SHUFFLE(2, 2, 0, 0));
  const __m256i v = _mm256_shuffle_epi32(pairs, _MM_SHUFFLE(3, 3, 1, 1));
  const __m256i base = _mm256_add_epi32(l, _mm256_set1_epi32(kHalf));
  *r = _mm256_add_epi32(base, _mm256_mullo_epi32(v, _mm256_set1_epi32(kRedV)));
  *g = _mm256_sub_epi32(_mm256_sub_epi32(base, _mm256_mullo_epi32(v, _mm256_set1_epi32(kGreenV))),
                        _mm256_mullo_epi32(u, _mm256_set1_epi32(kGreenU)));
  *b = _mm256_add_epi32(base, _mm256_mullo_epi32(u, _mm256_set1_epi32(kBlueU)));
}

// Sixteen pixels of NV12 to three channel rows at a time, in 32-bit lanes
// with the scalar conversion's constants. Returns how many pixels were done.
__attribute__((target("avx2"))) int nv12_to_planes_avx2(const uint8_t* y, const uint8_t* uv, int cols, uint8_t* r,
                                                        uint8_t* g, uint8_t* b) {
  int i = 0;
  for (; i + 16 <= cols; i += 16) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i));
    const __m128i chroma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + i));
    __m256i r0, g0, b0, r1, g1, b1;
    nv12_sums(luma, chroma, &r0, &g0, &b0);
    nv12_sums(_mm_srli_si128(luma, 8), _mm_srli_si128(chroma, 8), &r1, &g1, &b1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r + i), shifted_bytes(r0, r1, bt601::kShift));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(g + i), shifted_bytes(g0, g1, bt601::kShift));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + i), shifted_bytes(b0, b1, bt601::kShift));
  }
  return i;
}

bool cpu_has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  return avx2;
}
#endif

// The vertical pass over the sums of two source rows, row weights b0, b1.
KYCE_ROW_KERNEL void vertical(const int* s0, const int* s1, int b0, int b1, int count, uint8_t* out) {
  int i = 0;
#ifdef KYCE_HAVE_AVX2_PASSES
  if (cpu_has_avx2()) i = vertical_avx2(s0, s1, b0, b1, count, out);
#endif
  for (; i < count; ++i) {
    const int a = (static_cast<int16_t>(s0[i] >> 4) * b0) >> 16;
    const int b = (static_cast<int16_t>(s1[i] >> 4) * b1) >> 16;
    out[i] = cv::saturate_cast<uint8_t>((a + b + 2) >> 2);
  }
}

// The horizontal pass of two source rows at once (their loads overlap), each
// tap reading its two neighbours as one 16-bit (one channel) or 32-bit (two
// channels) word. Plane of width 1: the taps' neighbours are one pixel.
KYCE_ROW_KERNEL void horizontal(const uint8_t* row0, const uint8_t* row1, const Taps& x, int channels, int source_width,
                                int* sums0, int* sums1) {
  const int n = static_cast<int>(x.near.size());
  if (source_width == 1) {
    for (int i = 0; i < n * channels; ++i) {
      sums0[i] = row0[i % channels] * kOne;
      sums1[i] = row1[i % channels] * kOne;
    }
    return;
  }
  int i = 0;
#ifdef KYCE_HAVE_AVX2_PASSES
  if (cpu_has_avx2()) {
    i = channels == 1 ? luma_taps_avx2(row0, row1, x, source_width, sums0, sums1)
                      : chroma_taps_avx2(row0, row1, x, sums0, sums1);
  }
#endif
  if (channels == 1) {
    for (; i < n; ++i) {
      uint16_t a = 0;
      uint16_t b = 0;
      std::memcpy(&a, row0 + x.near[i], 2);
      std::memcpy(&b, row1 + x.near[i], 2);
      sums0[i] = (a & 0xff) * x.w0[i] + (a >> 8) * x.w1[i];
      sums1[i] = (b & 0xff) * x.w0[i] + (b >> 8) * x.w1[i];
    }
    return;
  }
  for (std::ptrdiff_t k = i; k < n; ++k) {
    uint32_t a = 0;
    uint32_t b = 0;
    std::memcpy(&a, row0 + std::ptrdiff_t{2} * x.near[k], 4);
    std::memcpy(&b, row1 + std::ptrdiff_t{2} * x.near[k], 4);
    const int w0 = x.w0[k];
    const int w1 = x.w1[k];
    sums0[2 * k] = static_cast<int>(a & 0xff) * w0 + static_cast<int>((a >> 16) & 0xff) * w1;
    sums0[2 * k + 1] = static_cast<int>((a >> 8) & 0xff) * w0 + static_cast<int>(a >> 24) * w1;
    sums1[2 * k] = static_cast<int>(b & 0xff) * w0 + static_cast<int>((b >> 16) & 0xff) * w1;
    sums1[2 * k + 1] = static_cast<int>((b >> 8) & 0xff) * w0 + static_cast<int>(b >> 24) * w1;
  }
}

// Whether cv::resize averages 2 x 2 blocks for this size: the source exactly
// twice the destination on both axes.
bool halved(const cv::Size& source, int width, int height) {
  const double sx = 1.0 / (static_cast<double>(width) / source.width);
  const double sy = 1.0 / (static_cast<double>(height) / source.height);
  const int ix = cv::saturate_cast<int>(sx);
  const int iy = cv::saturate_cast<int>(sy);
  return std::abs(sx - ix) < DBL_EPSILON && std::abs(sy - iy) < DBL_EPSILON && ix == 2 && iy == 2;
}

// `count` pairs of the chroma plane halved, from its pair `first` of two rows:
// each the mean of 4 values, halves rounded to even.
KYCE_ROW_KERNEL void average_chroma(const uint8_t* r0, const uint8_t* r1, int first, int count, uint8_t* out) {
  for (int i = 0; i < 2 * count; ++i) {
    const int x = 4 * first + 2 * i - (i & 1);  // the block's first value of this channel
    const int sum = r0[x] + r0[x + 2] + r1[x] + r1[x + 2];
    const int mean = sum >> 2;
    const int rest = sum & 3;
    out[i] = static_cast<uint8_t>(mean + ((rest > 2 || (rest == 2 && (mean & 1) != 0)) ? 1 : 0));
  }
}

// BT.601 limited range, 20-bit fixed point, into three channel rows.
KYCE_ROW_KERNEL void nv12_to_planes(const uint8_t* y, const uint8_t* uv, int cols, uint8_t* r, uint8_t* g, uint8_t* b) {
  using namespace bt601;
  std::ptrdiff_t done = 0;
#ifdef KYCE_HAVE_AVX2_PASSES
  if (cpu_has_avx2()) done = nv12_to_planes_avx2(y, uv, cols, r, g, b);
#endif
  for (std::ptrdiff_t i = done / 2; i < cols / 2; ++i) {
    const int u = uv[2 * i] - 128;
    const int v = uv[2 * i + 1] - 128;
    const int ruv = kHalf + kRedV * v;
    const int guv = kHalf - kGreenV * v - kGreenU * u;
    const int buv = kHalf + kBlueU * u;
    const int l0 = std::max(0, y[2 * i] - 16) * kLuma;
    const int l1 = std::max(0, y[2 * i + 1] - 16) * kLuma;
    r[2 * i] = channel(l0 + ruv);
    r[2 * i + 1] = channel(l1 + ruv);
    g[2 * i] = channel(l0 + guv);
    g[2 * i + 1] = channel(l1 + guv);
    b[2 * i] = channel(l0 + buv);
    b[2 * i + 1] = channel(l1 + buv);
  }
}

// Below this many output pixels the pass stays on the calling thread: waking
// the pool costs more than it saves. Measured from 1080p NV12 on two
// processors: a 112 x 112 tensor takes 25 us on one thread, 20 us on two;
// in the main job, where every processor is busy, either costs the same.
constexpr int kParallelFrom = 96 * 96;

// The taps of one resize: source and destination sizes and the window kept.
struct Resampling {
  int key[8] = {};
  Taps luma_x, luma_y, chroma_x, chroma_y;
  bool chroma_halved = false;
};

// The taps for this geometry, computed on the first call and kept for the
// calls that follow with the same one (a stream of pictures of one size):
// computing them took a tenth of a small tensor's time.
const Resampling& resampling(const cv::Mat& y, const cv::Size& chroma, int resized_width, int resized_height,
                             const cv::Rect& window) {
  thread_local Resampling last;
  const int key[8] = {y.cols, y.rows, resized_width, resized_height, window.x, window.y, window.width, window.height};
  if (std::equal(std::begin(key), std::end(key), std::begin(last.key)) && !last.luma_x.near.empty()) return last;
  std::copy(std::begin(key), std::end(key), std::begin(last.key));
  last.luma_x = linear_taps(y.cols, resized_width, window.x, window.width, true);
  last.luma_y = linear_taps(y.rows, resized_height, window.y, window.height, false);
  last.chroma_x = linear_taps(chroma.width, resized_width / 2, window.x / 2, window.width / 2, true);
  last.chroma_y = linear_taps(chroma.height, resized_height / 2, window.y / 2, window.height / 2, false);
  last.chroma_halved = halved(chroma, resized_width / 2, resized_height / 2);
  return last;
}

// What every row of the pass shares. Chroma is NV12's interleaved plane
// (`uv`), or I420's two planes (`u` and `v`, with `uv` null).
struct Geometry {
  const cv::Mat& y;
  const cv::Mat* uv;
  const cv::Mat* u;
  const cv::Mat* v;
  cv::Size chroma;
  cv::Rect window;
  bool blue_first;
  const TensorRows& rows;
  const Resampling& taps;
};

// Chroma row `row` as interleaved U,V pairs: the NV12 plane's own row, or
// I420's two rows interleaved into `scratch` (2 x chroma width bytes).
KYCE_ROW_KERNEL const uint8_t* chroma_row(const Geometry& g, int row, uint8_t* scratch) {
  if (g.uv != nullptr) return g.uv->ptr<uint8_t>(row);
  const uint8_t* u = g.u->ptr<uint8_t>(row);
  const uint8_t* v = g.v->ptr<uint8_t>(row);
  for (std::size_t i = 0; i < static_cast<std::size_t>(g.chroma.width); ++i) {
    scratch[2 * i] = u[i];
    scratch[2 * i + 1] = v[i];
  }
  return scratch;
}

// Asks for bytes first .. end - 1 of a source row ahead of their turn.
KYCE_ROW_KERNEL void prefetch_span(const uint8_t* row, std::ptrdiff_t first, std::ptrdiff_t end) {
  for (std::ptrdiff_t at = first; at < end; at += 64) __builtin_prefetch(row + at);
  __builtin_prefetch(row + end - 1);
}

// The two chroma rows pair `pair` reads: a halved plane's 2 x 2 blocks, or
// the bilinear taps' rows.
struct ChromaRows {
  int first;
  int second;
};
KYCE_ROW_KERNEL ChromaRows chroma_rows(const Geometry& g, int pair) {
  if (g.taps.chroma_halved) {
    const int row = 2 * (g.window.y / 2 + pair);
    return {row, row + 1};
  }
  return {g.taps.chroma_y.near[pair], g.taps.chroma_y.far[pair]};
}

// Asks for every source byte pair `pair` reads. Its rows are short runs of
// cache lines far apart (a ninth of a 1080p picture's rows for a 112-row
// tensor), which the processor's prefetchers find only after a few misses
// each, and a picture the decoder has just written is no longer in this
// core's caches: asked for while the pair before is computed, they arrive
// together instead of one run after another (in the main job the op took
// 82-86 instead of 94-99 us a picture; further ahead gained nothing more).
KYCE_ROW_KERNEL void prefetch_pair(const Geometry& g, int pair) {
  const Resampling& t = g.taps;
  const std::ptrdiff_t luma_first = t.luma_x.near.front();
  const std::ptrdiff_t luma_end = t.luma_x.far.back() + 1;
  for (int row = 2 * pair; row < 2 * pair + 2; ++row) {
    prefetch_span(g.y.ptr<uint8_t>(t.luma_y.near[row]), luma_first, luma_end);
    prefetch_span(g.y.ptr<uint8_t>(t.luma_y.far[row]), luma_first, luma_end);
  }
  // Chroma pairs read: a halved plane's from the window's on, the taps' otherwise.
  const std::ptrdiff_t first = t.chroma_halved ? 2 * std::ptrdiff_t{g.window.x / 2} : t.chroma_x.near.front();
  const std::ptrdiff_t end = t.chroma_halved ? first + g.window.width : t.chroma_x.far.back() + 1;
  const ChromaRows rows = chroma_rows(g, pair);
  for (const int row : {rows.first, rows.second}) {
    if (g.uv != nullptr) {
      prefetch_span(g.uv->ptr<uint8_t>(row), 2 * first, 2 * end);
    } else {
      prefetch_span(g.u->ptr<uint8_t>(row), first, end);
      prefetch_span(g.v->ptr<uint8_t>(row), first, end);
    }
  }
}

// Pairs of tensor rows: both share one chroma row. Built twice, for AVX2
// (gathers and 16-bit multiply-adds in vector registers) and for the baseline,
// and chosen by the processor at load time.
__attribute__((target_clones("avx2", "default"))) void convert_pairs(const Geometry& g, int begin, int end) {
  const int w = g.window.width;
  const Resampling& t = g.taps;
  std::vector<int> sums(4 * static_cast<std::size_t>(w));
  std::vector<uint8_t> bytes(5 * static_cast<std::size_t>(w));
  int* s0 = sums.data();
  int* s1 = s0 + w;
  int* c0 = s1 + w;
  int* c1 = c0 + w;
  uint8_t* luma = bytes.data();
  uint8_t* chroma = luma + w;
  uint8_t* red = chroma + w;
  uint8_t* green = red + w;
  uint8_t* blue = green + w;
  // Only I420 averaged in 2 x 2 blocks reads its chroma rows interleaved.
  const bool interleaves = g.uv == nullptr && t.chroma_halved;
  std::vector<uint8_t> scratch(interleaves ? 4 * static_cast<std::size_t>(g.chroma.width) : 0);
  uint8_t* scratch0 = scratch.data();
  uint8_t* scratch1 = scratch.empty() ? nullptr : scratch0 + 2 * static_cast<std::size_t>(g.chroma.width);
  if (begin < end) prefetch_pair(g, begin);
  for (int pair = begin; pair < end; ++pair) {
    if (pair + 1 < end) prefetch_pair(g, pair + 1);
    const ChromaRows rows = chroma_rows(g, pair);
    if (t.chroma_halved) {
      average_chroma(chroma_row(g, rows.first, scratch0), chroma_row(g, rows.second, scratch1), g.window.x / 2, w / 2,
                     chroma);
    } else if (g.uv != nullptr) {
      horizontal(g.uv->ptr<uint8_t>(rows.first), g.uv->ptr<uint8_t>(rows.second), t.chroma_x, 2, g.chroma.width, c0,
                 c1);
      vertical(c0, c1, t.chroma_y.w0[pair], t.chroma_y.w1[pair], w, chroma);
    } else {
      // I420's planes each through the taps on their own, which weighs the
      // same pixels as interleaving their rows first, without the
      // interleaving of whole rows; the red row holds them until then.
      const int half = w / 2;
      const int b0 = t.chroma_y.w0[pair];
      const int b1 = t.chroma_y.w1[pair];
      horizontal(g.u->ptr<uint8_t>(rows.first), g.u->ptr<uint8_t>(rows.second), t.chroma_x, 1, g.chroma.width, c0, c1);
      vertical(c0, c1, b0, b1, half, red);
      horizontal(g.v->ptr<uint8_t>(rows.first), g.v->ptr<uint8_t>(rows.second), t.chroma_x, 1, g.chroma.width, c0, c1);
      vertical(c0, c1, b0, b1, half, red + half);
      for (std::ptrdiff_t i = 0; i < half; ++i) {
        chroma[2 * i] = red[i];
        chroma[2 * i + 1] = red[half + i];
      }
    }
    for (int k = 0; k < 2; ++k) {
      const int row = 2 * pair + k;
      horizontal(g.y.ptr<uint8_t>(t.luma_y.near[row]), g.y.ptr<uint8_t>(t.luma_y.far[row]), t.luma_x, 1, g.y.cols, s0,
                 s1);
      vertical(s0, s1, t.luma_y.w0[row], t.luma_y.w1[row], w, luma);
      nv12_to_planes(luma, chroma, w, red, green, blue);
      if (g.blue_first) {
        g.rows.write(row, blue, green, red);
      } else {
        g.rows.write(row, red, green, blue);
      }
    }
  }
}

class Pass : public cv::ParallelLoopBody {
 public:
  explicit Pass(const Geometry& g) : g_(g) {}
  void operator()(const cv::Range& pairs) const override { convert_pairs(g_, pairs.start, pairs.end); }

 private:
  const Geometry& g_;
};

uint32_t write_tensor_linear(const cv::Mat& y, const cv::Mat* uv, const cv::Mat* u, const cv::Mat* v, int resized_width,
                             int resized_height, const cv::Rect& window, bool blue_first, const Normalisation& norm,
                             kyceTensorizationType type, uint8_t* out) {
  TensorRows rows;
  const uint32_t code = rows.prepare(norm, type, window.width, window.height, out);
  if (code != kyceER_SUCCESS) return code;
  const cv::Size chroma = uv != nullptr ? uv->size() : u->size();
  const Geometry g{
      y, uv, u, v, chroma, window, blue_first, rows, resampling(y, chroma, resized_width, resized_height, window)};
  const Pass pass(g);
  const cv::Range pairs(0, window.height / 2);
  if (window.area() < kParallelFrom) {
    pass(pairs);
  } else {
    cv::parallel_for_(pairs, pass, std::min(pairs.end, 4 * std::max(1, cv::getNumThreads())));
  }
  return kyceER_SUCCESS;
}

}  // namespace

uint32_t write_tensor_nv12_linear(const cv::Mat& y, const cv::Mat& uv, int resized_width, int resized_height,
                                  const cv::Rect& window, bool blue_first, const Normalisation& norm,
                                  kyceTensorizationType type, uint8_t* out) {
  return write_tensor_linear(y, &uv, nullptr, nullptr, resized_width, resized_height, window, blue_first, norm, type,
                             out);
}

uint32_t write_tensor_i420_linear(const cv::Mat& y, const cv::Mat& u, const cv::Mat& v, int resized_width,
                                  int resized_height, const cv::Rect& window, bool blue_first,
                                  const Normalisation& norm, kyceTensorizationType type, uint8_t* out) {
  if (u.size() != v.size()) return kyceER_INVALID_SIZE;
  return write_tensor_linear(y, nullptr, &u, &v, resized_width, resized_height, window, blue_first, norm, type, out);
}

}  // namespace kyce
