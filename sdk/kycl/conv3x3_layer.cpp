// OpenCV's convolution took 119 us for a 3 x 3 kernel over one channel of a
// 112 x 112 picture into two. Its order, measured with weights of 2^24, -2^24
// and 1: the K = 9 x channels products of an output value go to 8 lanes, the
// k-th to lane k mod 8, the first of each lane rounded, the next ones fused
// into it (one rounding for each product and sum); the lanes are then added
// pairwise, ((0 + 1) + (2 + 3)) + ((4 + 5) + (6 + 7)), and the bias last.
// Padding reads zeros. This layer computes each value in that order, eight
// output positions at a time in vector registers. OpenCV itself, on one
// thread, adds the last 2 or 3 values of a plane whose size leaves 2 or 3
// over a multiple of 4 in another order (on two threads it does not); this
// layer keeps the one order everywhere.
#include "conv3x3_layer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <opencv2/dnn.hpp>
#include <vector>

#include "conv_blobs.h"
#include "conv_routing.h"
#include "own_layer.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kycl {
namespace {

constexpr int kLanes = 8;

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

void output_plane(const Plane& p, const float* weights, float bias, float* out) {
  for (std::size_t y = 0; y < p.rows_out; ++y) {
    float* row = out + y * p.cols_out;
    std::size_t x = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_has_avx2_fma()) x = output_row_avx2(p, weights, bias, y, row);
#endif
    for (; x < p.cols_out; ++x) row[x] = output_value(p, weights, bias, y, x);
  }
}

class Conv3x3Layer final : public OwnLayer {
 public:
  explicit Conv3x3Layer(const cv::dnn::LayerParams& params)
      : OwnLayer(params), padding_(params.get<int>(kConv3x3PaddingParameter, 0)), conv_(conv_blobs(blobs, 3)) {
    CV_Assert(padding_ == 0 || padding_ == 1);
  }

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) { return cv::makePtr<Conv3x3Layer>(params); }

 private:
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    CV_Assert(input.size() == 4 && input[1] == static_cast<int>(conv_.inputs));
    cv::dnn::MatShape shape = input;
    shape[1] = static_cast<int>(conv_.outputs);
    shape[2] += 2 * padding_ - 2;
    shape[3] += 2 * padding_ - 2;
    CV_Assert(shape[2] > 0 && shape[3] > 0);
    return shape;
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims == 4 && dst.dims == 4 && src.size[1] == static_cast<int>(conv_.inputs));
    const auto rows = static_cast<std::size_t>(src.size[2]);
    const auto cols = static_cast<std::size_t>(src.size[3]);
    const auto pad = static_cast<std::size_t>(padding_);
    Plane p{nullptr, cols + 2 * pad, rows + 2 * pad - 2, cols + 2 * pad - 2, conv_.inputs};
    CV_Assert(static_cast<std::size_t>(dst.size[2]) == p.rows_out &&
              static_cast<std::size_t>(dst.size[3]) == p.cols_out);
    // Zeros around each plane; every vector load stays inside its row.
    std::vector<float> padded(conv_.inputs * (p.rows_out + 2) * p.stride, 0.f);
    p.padded = padded.data();
    const std::size_t batch = static_cast<std::size_t>(src.size[0]);
    const std::size_t area_out = p.rows_out * p.cols_out;
    for (std::size_t sample = 0; sample < batch; ++sample) {
      for (std::size_t c = 0; c < conv_.inputs; ++c) {
        const float* plane = src.ptr<float>() + (sample * conv_.inputs + c) * rows * cols;
        float* to = padded.data() + (c * (p.rows_out + 2) + pad) * p.stride + pad;
        for (std::size_t r = 0; r < rows; ++r) std::copy(plane + r * cols, plane + (r + 1) * cols, to + r * p.stride);
      }
      for (std::size_t o = 0; o < conv_.outputs; ++o) {
        output_plane(p, conv_.weights + o * 9 * conv_.inputs, conv_.bias != nullptr ? conv_.bias[o] : 0.f,
                     dst.ptr<float>() + (sample * conv_.outputs + o) * area_out);
      }
    }
  }

  int padding_;
  ConvBlobs conv_;
};

}  // namespace

void register_conv3x3_layer() { register_layer_once<Conv3x3Layer>(kConv3x3LayerType); }

}  // namespace kycl
