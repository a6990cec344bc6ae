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
#include <opencv2/core/utility.hpp>
#include <vector>

namespace kyce {
namespace {

constexpr int kWeightBits = 11;
constexpr int kOne = 1 << kWeightBits;

// Source positions and weights along one axis, for the destination
// positions first .. first + count - 1 of a resize from `source` to
// `destination`.
struct Taps {
  std::vector<int> near;  // first source index
  std::vector<int> far;   // second source index (clamped to the plane)
  std::vector<int> w0;
  std::vector<int> w1;
};

int16_t fixed_weight(float weight) { return cv::saturate_cast<int16_t>(weight * static_cast<float>(kOne)); }

// Columns clamp position and weight at both edges; rows keep the weight and
// clamp only the row index, as cv::resize does.
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
  }
  return t;
}

// The vertical pass over the sums of two source rows, row weights b0, b1.
void vertical(const int* s0, const int* s1, int b0, int b1, int count, uint8_t* out) {
  for (int i = 0; i < count; ++i) {
    const int a = (static_cast<int16_t>(s0[i] >> 4) * b0) >> 16;
    const int b = (static_cast<int16_t>(s1[i] >> 4) * b1) >> 16;
    out[i] = cv::saturate_cast<uint8_t>((a + b + 2) >> 2);
  }
}

// The horizontal pass of one source row of `channels` interleaved channels.
void horizontal(const uint8_t* row, const Taps& x, int channels, int* sums) {
  const int n = static_cast<int>(x.near.size());
  if (channels == 1) {
    for (int i = 0; i < n; ++i) sums[i] = row[x.near[i]] * x.w0[i] + row[x.far[i]] * x.w1[i];
    return;
  }
  for (int i = 0; i < n; ++i) {
    const uint8_t* a = row + 2 * x.near[i];
    const uint8_t* b = row + 2 * x.far[i];
    sums[2 * i] = a[0] * x.w0[i] + b[0] * x.w1[i];
    sums[2 * i + 1] = a[1] * x.w0[i] + b[1] * x.w1[i];
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
void average_chroma(const uint8_t* r0, const uint8_t* r1, int first, int count, uint8_t* out) {
  for (int i = 0; i < 2 * count; ++i) {
    const int x = 4 * first + 2 * i - (i & 1);  // the block's first value of this channel
    const int sum = r0[x] + r0[x + 2] + r1[x] + r1[x + 2];
    const int mean = sum >> 2;
    const int rest = sum & 3;
    out[i] = static_cast<uint8_t>(mean + ((rest > 2 || (rest == 2 && (mean & 1) != 0)) ? 1 : 0));
  }
}

inline uint8_t clip_shifted(int value) { return static_cast<uint8_t>(std::clamp(value >> 20, 0, 255)); }

// BT.601 limited range, 20-bit fixed point, into three channel rows.
void nv12_to_planes(const uint8_t* y, const uint8_t* uv, int cols, uint8_t* r, uint8_t* g, uint8_t* b) {
  for (int i = 0; i < cols / 2; ++i) {
    const int u = uv[2 * i] - 128;
    const int v = uv[2 * i + 1] - 128;
    const int ruv = (1 << 19) + 1673527 * v;
    const int guv = (1 << 19) - 852492 * v - 409993 * u;
    const int buv = (1 << 19) + 2116026 * u;
    const int l0 = std::max(0, y[2 * i] - 16) * 1220542;
    const int l1 = std::max(0, y[2 * i + 1] - 16) * 1220542;
    r[2 * i] = clip_shifted(l0 + ruv);
    r[2 * i + 1] = clip_shifted(l1 + ruv);
    g[2 * i] = clip_shifted(l0 + guv);
    g[2 * i + 1] = clip_shifted(l1 + guv);
    b[2 * i] = clip_shifted(l0 + buv);
    b[2 * i + 1] = clip_shifted(l1 + buv);
  }
}

// Below this many output pixels the pass stays on the calling thread: waking
// the pool costs more than it saves.
constexpr int kParallelFrom = 96 * 96;

class Pass : public cv::ParallelLoopBody {
 public:
  Pass(const cv::Mat& y, const cv::Mat& uv, int resized_width, int resized_height, const cv::Rect& window,
       bool blue_first, const TensorRows& rows)
      : y_(y),
        uv_(uv),
        window_(window),
        blue_first_(blue_first),
        rows_(rows),
        luma_x_(linear_taps(y.cols, resized_width, window.x, window.width, true)),
        luma_y_(linear_taps(y.rows, resized_height, window.y, window.height, false)),
        chroma_x_(linear_taps(uv.cols, resized_width / 2, window.x / 2, window.width / 2, true)),
        chroma_y_(linear_taps(uv.rows, resized_height / 2, window.y / 2, window.height / 2, false)),
        chroma_halved_(halved(uv.size(), resized_width / 2, resized_height / 2)) {}

  // Pairs of tensor rows: both share one chroma row.
  void operator()(const cv::Range& pairs) const override {
    const int w = window_.width;
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
    for (int pair = pairs.start; pair < pairs.end; ++pair) {
      if (chroma_halved_) {
        const int uv_row = 2 * (window_.y / 2 + pair);
        average_chroma(uv_.ptr<uint8_t>(uv_row), uv_.ptr<uint8_t>(uv_row + 1), window_.x / 2, w / 2, chroma);
      } else {
        horizontal(uv_.ptr<uint8_t>(chroma_y_.near[pair]), chroma_x_, 2, c0);
        horizontal(uv_.ptr<uint8_t>(chroma_y_.far[pair]), chroma_x_, 2, c1);
        vertical(c0, c1, chroma_y_.w0[pair], chroma_y_.w1[pair], w, chroma);
      }
      for (int k = 0; k < 2; ++k) {
        const int row = 2 * pair + k;
        horizontal(y_.ptr<uint8_t>(luma_y_.near[row]), luma_x_, 1, s0);
        horizontal(y_.ptr<uint8_t>(luma_y_.far[row]), luma_x_, 1, s1);
        vertical(s0, s1, luma_y_.w0[row], luma_y_.w1[row], w, luma);
        nv12_to_planes(luma, chroma, w, red, green, blue);
        if (blue_first_) {
          rows_.write(row, blue, green, red);
        } else {
          rows_.write(row, red, green, blue);
        }
      }
    }
  }

 private:
  const cv::Mat& y_;
  const cv::Mat& uv_;
  cv::Rect window_;
  bool blue_first_;
  const TensorRows& rows_;
  Taps luma_x_, luma_y_, chroma_x_, chroma_y_;
  bool chroma_halved_;
};

}  // namespace

uint32_t write_tensor_nv12_linear(const cv::Mat& y, const cv::Mat& uv, int resized_width, int resized_height,
                                  const cv::Rect& window, bool blue_first, const Normalisation& norm,
                                  kyceTensorizationType type, uint8_t* out) {
  TensorRows rows;
  const uint32_t code = rows.prepare(norm, type, window.width, window.height, out);
  if (code != kyceER_SUCCESS) return code;
  const Pass pass(y, uv, resized_width, resized_height, window, blue_first, rows);
  const cv::Range pairs(0, window.height / 2);
  if (window.area() < kParallelFrom) {
    pass(pairs);
  } else {
    cv::parallel_for_(pairs, pass, std::min(pairs.end, 4 * std::max(1, cv::getNumThreads())));
  }
  return kyceER_SUCCESS;
}

}  // namespace kyce
