// The BT.709 matrix derived from its two luma weights, so that no rounded
// coefficient is typed by hand.
#include "yuv_bt709.h"

#include <array>
#include <cmath>
#include <cstdint>

namespace kyce {
namespace {

constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;
constexpr double kLumaScale = 255.0 / 219.0;
constexpr double kChromaScale = 255.0 / 224.0;

inline uint8_t to_byte(double value) {
  const double rounded = std::floor(value + 0.5);
  return static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
}

struct DecodeTables {
  std::array<double, 256> luma{};
  std::array<double, 256> r_from_v{};
  std::array<double, 256> g_from_u{};
  std::array<double, 256> g_from_v{};
  std::array<double, 256> b_from_u{};
  DecodeTables() {
    for (int i = 0; i < 256; ++i) {
      luma[i] = kLumaScale * (i - 16);
      r_from_v[i] = 2 * (1 - kKr) * kChromaScale * (i - 128);
      g_from_u[i] = -2 * kKb * (1 - kKb) / kKg * kChromaScale * (i - 128);
      g_from_v[i] = -2 * kKr * (1 - kKr) / kKg * kChromaScale * (i - 128);
      b_from_u[i] = 2 * (1 - kKb) * kChromaScale * (i - 128);
    }
  }
};

}  // namespace

void nv12_to_rgb_bt709(const cv::Mat& y, const cv::Mat& uv, cv::Mat& rgb, bool blue_first) {
  static const DecodeTables tables;
  const int r_index = blue_first ? 2 : 0;
  const int b_index = 2 - r_index;
  for (int row = 0; row < y.rows; ++row) {
    const uint8_t* luma = y.ptr<uint8_t>(row);
    const uint8_t* chroma = uv.ptr<uint8_t>(row / 2);
    uint8_t* out = rgb.ptr<uint8_t>(row);
    for (int col = 0; col < y.cols; ++col) {
      const uint8_t* pair = chroma + (col & ~1);
      const int u = pair[0];
      const int v = pair[1];
      const double l = tables.luma[luma[col]];
      out[col * 3 + r_index] = to_byte(l + tables.r_from_v[v]);
      out[col * 3 + 1] = to_byte(l + tables.g_from_u[u] + tables.g_from_v[v]);
      out[col * 3 + b_index] = to_byte(l + tables.b_from_u[u]);
    }
  }
}

void rgb_to_nv12_bt709(const cv::Mat& rgb, bool blue_first, cv::Mat& y, cv::Mat& uv) {
  const int r_index = blue_first ? 2 : 0;
  const int b_index = 2 - r_index;
  for (int row = 0; row < rgb.rows; ++row) {
    const uint8_t* in = rgb.ptr<uint8_t>(row);
    uint8_t* luma = y.ptr<uint8_t>(row);
    uint8_t* chroma = (row % 2 == 0) ? uv.ptr<uint8_t>(row / 2) : nullptr;
    for (int col = 0; col < rgb.cols; ++col) {
      const double r = in[col * 3 + r_index];
      const double g = in[col * 3 + 1];
      const double b = in[col * 3 + b_index];
      const double full = kKr * r + kKg * g + kKb * b;
      luma[col] = to_byte(16 + full / kLumaScale);
      if (chroma != nullptr && col % 2 == 0) {
        chroma[col] = to_byte(128 + (b - full) / (2 * (1 - kKb)) / kChromaScale);
        chroma[col + 1] = to_byte(128 + (r - full) / (2 * (1 - kKr)) / kChromaScale);
      }
    }
  }
}

}  // namespace kyce
