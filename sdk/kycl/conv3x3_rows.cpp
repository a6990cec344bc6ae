// OpenCV's convolution took 119 us for a 3 x 3 kernel over one channel of a
// 112 x 112 picture into two. Its order, measured with weights of 2^24, -2^24
// and 1: the K = 9 x channels products of an output value go to 8 lanes, the
// k-th to lane k mod 8, the first of each lane rounded, the next ones fused
// into it (one rounding for each product and sum); the lanes are then added
// pairwise, ((0 + 1) + (2 + 3)) + ((4 + 5) + (6 + 7)), and the bias last.
// Padding reads zeros. Rows are computed in that order, eight output
// positions at a time in vector registers. OpenCV itself, on one thread,
// adds the last 2 or 3 values of a plane whose size leaves 2 or 3 over a
// multiple of 4 in another order (on two threads it does not); these rows
// keep the one order everywhere.
#include "conv3x3_rows.h"

#include <algorithm>
#include <cmath>

#include "conv_routing.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kycl {
namespace {

constexpr std::size_t kLanes = 8;

// The padded input planes of one sample and the output plane's geometry.
struct Plane {
  const float* padded;  // channels planes of rows x stride values
  std::size_t stride;   // values a padded row
  std::size_t rows_out;
  std::size_t cols_out;
  std::size_t channels;
};

// Tap k of the output value at (y, x): channel k / 9, row y + k / 3 % 3,
// column x + k % 3.
inline const float* tap(const Plane& p, std::size_t k, std::size_t y, std::size_t x) {
  const std::size_t c = k / 9;
  const std::size_t r = k / 3 % 3;
  return p.padded + (c * (p.rows_out + 2) + y + r) * p.stride + x + k % 3;
}

// One output value, as the vector code computes each of its lanes.
float output_value(const Plane& p, const float* weights, float bias, std::size_t y, std::size_t x) {
  const std::size_t taps = 9 * p.channels;
  float lanes[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k) lanes[k] = weights[k] * *tap(p, k, y, x);
  for (std::size_t k = kLanes; k < taps; ++k)
    lanes[k % kLanes] = std::fma(weights[k], *tap(p, k, y, x), lanes[k % kLanes]);
  return (((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]))) + bias;
}

#if defined(__x86_64__) || defined(__i386__)
// The channel count is fixed for each build, so that the lanes stay in
// registers (the loops unroll whole).
template <std::size_t kChannels>
__attribute__((target("avx2,fma"))) std::size_t output_row_avx2(const Plane& p, const float* weights, float bias,
                                                                std::size_t y, float* out) {
  constexpr std::size_t kTaps = 9 * kChannels;
  const float* rows[3 * kChannels];
  for (std::size_t k = 0; k < 3 * kChannels; ++k) rows[k] = tap(p, 3 * k, y, 0);
  std::size_t x = 0;
  for (; x + kLanes <= p.cols_out; x += kLanes) {
    __m256 lanes[kLanes];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kLanes; ++k) {
      lanes[k] = _mm256_mul_ps(_mm256_broadcast_ss(weights + k), _mm256_loadu_ps(rows[k / 3] + x + k % 3));
    }
#pragma GCC unroll 32
    for (std::size_t k = kLanes; k < kTaps; ++k) {
      lanes[k % kLanes] = _mm256_fmadd_ps(_mm256_broadcast_ss(weights + k), _mm256_loadu_ps(rows[k / 3] + x + k % 3),
                                          lanes[k % kLanes]);
    }
    const __m256 low = _mm256_add_ps(_mm256_add_ps(lanes[0], lanes[1]), _mm256_add_ps(lanes[2], lanes[3]));
    const __m256 high = _mm256_add_ps(_mm256_add_ps(lanes[4], lanes[5]), _mm256_add_ps(lanes[6], lanes[7]));
    _mm256_storeu_ps(out + x, _mm256_add_ps(_mm256_add_ps(low, high), _mm256_set1_ps(bias)));
  }
  return x;
}

std::size_t output_row_avx2(const Plane& p, const float* weights, float bias, std::size_t y, float* out) {
  static_assert(kConv3x3MaxInputChannels == 3, "a build for each channel count");
  switch (p.channels) {
    case 1:
      return output_row_avx2<1>(p, weights, bias, y, out);
    case 2:
      return output_row_avx2<2>(p, weights, bias, y, out);
    default:
      return output_row_avx2<3>(p, weights, bias, y, out);
  }
}

bool cpu_has_avx2_fma() {
  static const bool has = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
  return has;
}
#endif

}  // namespace

void Conv3x3Input::load(const float* src, std::size_t sample, std::size_t channels, std::size_t rows, std::size_t cols,
                        std::size_t padding) {
  channels_ = channels;
  stride_ = cols + 2 * padding;
  rows_out_ = rows + 2 * padding - 2;
  cols_out_ = cols + 2 * padding - 2;
  const float* first = src + sample * channels * rows * cols;
  if (padding == 0) {
    planes_ = first;
    return;
  }
  // Zeros around each plane; every vector load stays inside its row.
  padded_.assign(channels * (rows_out_ + 2) * stride_, 0.f);
  for (std::size_t c = 0; c < channels; ++c) {
    const float* plane = first + c * rows * cols;
    float* to = padded_.data() + (c * (rows_out_ + 2) + padding) * stride_ + padding;
    for (std::size_t r = 0; r < rows; ++r) std::copy(plane + r * cols, plane + (r + 1) * cols, to + r * stride_);
  }
  planes_ = padded_.data();
}

void Conv3x3Input::output_row(const ConvBlobs& conv, std::size_t o, std::size_t y, float* out) const {
  const Plane p{planes_, stride_, rows_out_, cols_out_, channels_};
  const float* weights = conv.weights + o * 9 * channels_;
  const float bias = conv.bias != nullptr ? conv.bias[o] : 0.f;
  std::size_t x = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (cpu_has_avx2_fma()) x = output_row_avx2(p, weights, bias, y, out);
#endif
  for (; x < cols_out_; ++x) out[x] = output_value(p, weights, bias, y, x);
}

}  // namespace kycl
