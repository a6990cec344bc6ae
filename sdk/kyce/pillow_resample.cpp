// Pillow's resampling: a horizontal pass then a vertical one, each only when
// that dimension changes, through an 8-bit intermediate holding just the
// source rows the vertical pass reads. Weights are normalised in double and
// then fixed to 22 fraction bits; every sum starts at half a unit and is
// shifted back and clipped to 8 bits. Any departure (float weights, another
// rounding, a 16-bit intermediate) changes results by one here and there.
#include "pillow_resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kyce {
namespace {

constexpr int kPrecisionBits = 32 - 8 - 2;

double box(double x) { return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0; }

double bilinear(double x) {
  x = std::fabs(x);
  return x < 1.0 ? 1.0 - x : 0.0;
}

double hamming(double x) {
  x = std::fabs(x);
  if (x == 0.0) return 1.0;
  if (x >= 1.0) return 0.0;
  x = x * M_PI;
  // The window's constants are single precision in the reference.
  return std::sin(x) / x * (0.54F + 0.46F * std::cos(x));
}

double bicubic(double x) {
  constexpr double a = -0.5;
  x = std::fabs(x);
  if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1;
  if (x < 2.0) return (((x - 5) * x + 8) * x - 4) * a;
  return 0.0;
}

double sinc(double x) {
  if (x == 0.0) return 1.0;
  x = x * M_PI;
  return std::sin(x) / x;
}

double lanczos(double x) { return (-3.0 <= x && x < 3.0) ? sinc(x) * sinc(x / 3) : 0.0; }

struct Filter {
  double (*function)(double);
  double support;
};

Filter filter_of(PillowFilter filter) {
  switch (filter) {
    case PillowFilter::box:
      return {box, 0.5};
    case PillowFilter::bilinear:
      return {bilinear, 1.0};
    case PillowFilter::hamming:
      return {hamming, 1.0};
    case PillowFilter::bicubic:
      return {bicubic, 2.0};
    default:
      return {lanczos, 3.0};
  }
}

// Per output index: the first source index, the number of taps, and the
// fixed-point weights (ksize slots per index).
struct Coefficients {
  int ksize = 0;
  std::vector<int> first;
  std::vector<int> count;
  std::vector<int32_t> weights;
};

Coefficients precompute(int in_size, int out_size, const Filter& filter) {
  const double scale = static_cast<double>(in_size) / out_size;
  const double filterscale = std::max(scale, 1.0);
  const double support = filter.support * filterscale;
  Coefficients c;
  c.ksize = static_cast<int>(std::ceil(support)) * 2 + 1;
  c.first.resize(out_size);
  c.count.resize(out_size);
  c.weights.assign(static_cast<size_t>(out_size) * c.ksize, 0);
  std::vector<double> k(c.ksize);
  for (int i = 0; i < out_size; ++i) {
    const double center = (i + 0.5) * scale;
    const double ss = 1.0 / filterscale;
    // Truncation after adding one half, not rounding: the reference's bounds.
    const int xmin = std::max(static_cast<int>(center - support + 0.5), 0);  // NOLINT(bugprone-incorrect-roundings)
    const int xmax =
        std::min(static_cast<int>(center + support + 0.5), in_size) - xmin;  // NOLINT(bugprone-incorrect-roundings)
    double sum = 0.0;
    for (int x = 0; x < xmax; ++x) {
      k[x] = filter.function((x + xmin - center + 0.5) * ss);
      sum += k[x];
    }
    int32_t* fixed = &c.weights[static_cast<size_t>(i) * c.ksize];
    for (int x = 0; x < xmax; ++x) {
      const double w = sum != 0.0 ? k[x] / sum : k[x];
      const double scaled = w * (1 << kPrecisionBits);
      fixed[x] = static_cast<int32_t>(w < 0 ? std::trunc(-0.5 + scaled) : std::trunc(0.5 + scaled));
    }
    c.first[i] = xmin;
    c.count[i] = std::max(xmax, 0);
  }
  return c;
}

inline uint8_t clip8(int32_t sum) {
  const int32_t value = sum >> kPrecisionBits;
  return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// Rows [row_first, row_first + destination.rows) of `source` resampled along x.
template <int C>
void horizontal(const cv::Mat& source, int row_first, cv::Mat& destination, const Coefficients& c) {
  const int out_width = destination.cols;
  for (int y = 0; y < destination.rows; ++y) {
    const uint8_t* in = source.ptr<uint8_t>(row_first + y);
    uint8_t* out = destination.ptr<uint8_t>(y);
    for (int x = 0; x < out_width; ++x) {
      const int32_t* k = &c.weights[static_cast<size_t>(x) * c.ksize];
      const uint8_t* p = in + static_cast<ptrdiff_t>(c.first[x]) * C;
      int32_t sums[C];
      for (int ch = 0; ch < C; ++ch) sums[ch] = 1 << (kPrecisionBits - 1);
      for (int t = 0; t < c.count[x]; ++t) {
        for (int ch = 0; ch < C; ++ch) sums[ch] += p[t * C + ch] * k[t];
      }
      for (int ch = 0; ch < C; ++ch) out[x * C + ch] = clip8(sums[ch]);
    }
  }
}

// Along y, row by row so the inner loop runs over contiguous bytes; integer
// sums do not depend on the order of their terms.
void vertical(const cv::Mat& source, cv::Mat& destination, const Coefficients& c, int row_shift) {
  const int row_bytes = destination.cols * destination.channels();
  std::vector<int32_t> sums(row_bytes);
  for (int y = 0; y < destination.rows; ++y) {
    std::fill(sums.begin(), sums.end(), 1 << (kPrecisionBits - 1));
    const int32_t* k = &c.weights[static_cast<size_t>(y) * c.ksize];
    for (int t = 0; t < c.count[y]; ++t) {
      const uint8_t* in = source.ptr<uint8_t>(c.first[y] - row_shift + t);
      const int32_t weight = k[t];
      for (int i = 0; i < row_bytes; ++i) sums[i] += in[i] * weight;
    }
    uint8_t* out = destination.ptr<uint8_t>(y);
    for (int i = 0; i < row_bytes; ++i) out[i] = clip8(sums[i]);
  }
}

void horizontal_any(const cv::Mat& source, int row_first, cv::Mat& destination, const Coefficients& c) {
  switch (source.channels()) {
    case 1:
      return horizontal<1>(source, row_first, destination, c);
    case 2:
      return horizontal<2>(source, row_first, destination, c);
    case 3:
      return horizontal<3>(source, row_first, destination, c);
    default:
      return horizontal<4>(source, row_first, destination, c);
  }
}

}  // namespace

void pillow_resize(const cv::Mat& source, cv::Mat& destination, PillowFilter filter) {
  CV_Assert(source.type() == destination.type() && source.depth() == CV_8U && source.channels() <= 4);
  const Filter f = filter_of(filter);
  const bool need_horizontal = destination.cols != source.cols;
  const bool need_vertical = destination.rows != source.rows;
  if (!need_horizontal && !need_vertical) {
    source.copyTo(destination);
    return;
  }
  if (!need_vertical) {
    horizontal_any(source, 0, destination, precompute(source.cols, destination.cols, f));
    return;
  }
  const Coefficients rows = precompute(source.rows, destination.rows, f);
  if (!need_horizontal) {
    vertical(source, destination, rows, 0);
    return;
  }
  const int row_first = rows.first.front();
  const int row_last = rows.first.back() + rows.count.back();
  cv::Mat temporary(row_last - row_first, destination.cols, source.type());
  horizontal_any(source, row_first, temporary, precompute(source.cols, destination.cols, f));
  vertical(temporary, destination, rows, row_first);
}

}  // namespace kyce
