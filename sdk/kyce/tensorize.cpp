// Normalisation is computed in float32 in the order the formulas are written
// ((x / 255 - mean) / std, never a folded multiply-add), so a tensor equals
// the same arithmetic done on float32 arrays elsewhere. float16 elements come
// from the common runtime's conversion of the float32 table.
#include "tensorize.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "kycm.h"
#include "yuv_bt601.h"

namespace kyce {
namespace {

float normalised(int value, int channel, const Normalisation& norm) {
  const float x = static_cast<float>(value);
  const float mean = norm.mean[channel];
  const float std = norm.std[channel];
  switch (norm.type) {
    case kyceNORM_MINUSMEAN:
      return x - mean;
    case kyceNORM_MINUSMEAN_DIVSTD:
      return (x - mean) / std;
    case kyceNORM_DIV255_MINUSMEAN_DIVSTD:
      return (x / 255.0F - mean) / std;
    case kyceNORM_DIV1275_MINUSONE:
      return x / 127.5F - 1.0F;
    case kyceNORM_DIV255:
      return x / 255.0F;
    default:  // NONE and EQUAL: the value itself
      return x;
  }
}

// Nearest, ties to even, clipped to 0..255 (NaN cannot occur: the inputs are checked).
uint8_t to_byte(float value) {
  const float rounded = std::nearbyint(value);
  return static_cast<uint8_t>(rounded < 0.0F ? 0.0F : (rounded > 255.0F ? 255.0F : rounded));
}

bool divides_by_std(kyceNormType type) {
  return type == kyceNORM_MINUSMEAN_DIVSTD || type == kyceNORM_DIV255_MINUSMEAN_DIVSTD;
}

bool is_planar(kyceTensorizationType type) {
  return type == kyceTENSORIZATION_NONE || type == kyceTENSORIZATION_UINT8 || type == kyceTENSORIZATION_FP16;
}

using Tables = TensorTables;

uint32_t build_tables(const Normalisation& norm, kyceTensorizationType type, Tables* t) {
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) t->f32[c][v] = normalised(v, c, norm);
  }
  switch (tensor_element_size(type)) {
    case 1:
      for (int c = 0; c < 3; ++c) {
        for (int v = 0; v < 256; ++v) t->u8[c][v] = to_byte(t->f32[c][v]);
      }
      return kyceER_SUCCESS;
    case 2:
      std::fill(&t->f16[0][0], &t->f16[0][0] + std::size(t->f16) * std::size(t->f16[0]), uint16_t{0});
      return kycmFloat32ToFloat16Array(&t->f32[0][0], 3 * 256, &t->f16[0][0]) == 0 ? kyceER_SUCCESS
                                                                                   : kyceER_OPERATION_FAILED;
    default:
      return kyceER_SUCCESS;
  }
}

// Rows of `pixels` stored as tensor rows first_row onwards of a tensor whose
// planes hold `area` elements. One read of each pixel writes every plane.
template <class T>
void write_rows_as(const cv::Mat& pixels, int first_row, std::size_t area, const int (&order)[3],
                   const T (&table)[3][256], bool planar, T* out) {
  const std::size_t cols = static_cast<std::size_t>(pixels.cols);
  const T* t0 = table[0];
  const T* t1 = table[1];
  const T* t2 = table[2];
  for (int row = 0; row < pixels.rows; ++row) {
    const uint8_t* p = pixels.ptr<uint8_t>(row);
    const std::size_t base = static_cast<std::size_t>(first_row + row) * cols;
    if (planar) {
      T* o0 = out + base;
      T* o1 = o0 + area;
      T* o2 = o1 + area;
      for (std::size_t col = 0; col < cols; ++col, p += 3) {
        o0[col] = t0[p[order[0]]];
        o1[col] = t1[p[order[1]]];
        o2[col] = t2[p[order[2]]];
      }
    } else {
      T* o = out + base * 3;
      for (std::size_t col = 0; col < cols; ++col, p += 3, o += 3) {
        o[0] = t0[p[order[0]]];
        o[1] = t1[p[order[1]]];
        o[2] = t2[p[order[2]]];
      }
    }
  }
}

void write_rows(const cv::Mat& pixels, int first_row, std::size_t area, const int (&order)[3],
                kyceTensorizationType type, const Tables& t, uint8_t* out) {
  const bool planar = is_planar(type);
  switch (tensor_element_size(type)) {
    case 1:
      return write_rows_as(pixels, first_row, area, order, t.u8, planar, out);
    case 2:
      return write_rows_as(pixels, first_row, area, order, t.f16, planar, reinterpret_cast<uint16_t*>(out));
    default:
      return write_rows_as(pixels, first_row, area, order, t.f32, planar, reinterpret_cast<float*>(out));
  }
}

// A float32 planar row computed instead of looked up: the same expression as
// normalised(), applied to contiguous bytes, which the compiler vectorises.
template <class F>
inline __attribute__((always_inline)) void map_row(const uint8_t* in, int n, float* out, F f) {
  for (int i = 0; i < n; ++i) out[i] = f(static_cast<float>(in[i]));
}

// Built for AVX2 (eight divisions at once) and for the baseline.
__attribute__((target_clones("avx2", "default"))) void normalise_row(const uint8_t* in, int n, int channel,
                                                                     const Normalisation& norm, float* out) {
  const float mean = norm.mean[channel];
  const float std = norm.std[channel];
  switch (norm.type) {
    case kyceNORM_MINUSMEAN:
      return map_row(in, n, out, [=](float x) { return x - mean; });
    case kyceNORM_MINUSMEAN_DIVSTD:
      return map_row(in, n, out, [=](float x) { return (x - mean) / std; });
    case kyceNORM_DIV255_MINUSMEAN_DIVSTD:
      return map_row(in, n, out, [=](float x) { return (x / 255.0F - mean) / std; });
    case kyceNORM_DIV1275_MINUSONE:
      return map_row(in, n, out, [](float x) { return x / 127.5F - 1.0F; });
    case kyceNORM_DIV255:
      return map_row(in, n, out, [](float x) { return x / 255.0F; });
    default:
      return map_row(in, n, out, [](float x) { return x; });
  }
}

// One row of NV12 to interleaved RGB: BT.601 limited range in the 20-bit
// fixed point of OpenCV's NV12 conversion, which it equals bit for bit.
void nv12_row_bt601(const uint8_t* y, const uint8_t* uv, int cols, bool blue_first, uint8_t* rgb) {
  using namespace bt601;
  const int r_index = blue_first ? 2 : 0;
  const int b_index = 2 - r_index;
  for (int col = 0; col < cols; col += 2) {
    const int u = uv[col] - 128;
    const int v = uv[col + 1] - 128;
    const int ruv = kHalf + kRedV * v;
    const int guv = kHalf - kGreenV * v - kGreenU * u;
    const int buv = kHalf + kBlueU * u;
    for (int k = 0; k < 2; ++k, rgb += 3) {
      const int luma = std::max(0, y[col + k] - 16) * kLuma;
      rgb[r_index] = channel(luma + ruv);
      rgb[1] = channel(luma + guv);
      rgb[b_index] = channel(luma + buv);
    }
  }
}

}  // namespace

bool is_known_norm(kyceNormType type) {
  return type >= kyceNORM_NORMALIZATION_NONE && type < kyceNORM_NORMALIZATION_NONE_BUTT;
}

bool is_known_tensorization(kyceTensorizationType type) {
  return type >= kyceTENSORIZATION_NONE && type < kyceTENSORIZATION_TYPE_BUTT;
}

std::size_t tensor_element_size(kyceTensorizationType type) {
  switch (type) {
    case kyceTENSORIZATION_UINT8:
    case kyceTENSORIZATION_UINT8_INTERLEAVE:
      return 1;
    case kyceTENSORIZATION_FP16:
    case kyceTENSORIZATION_FP16_INTERLEAVE:
    case kyceTENSORIZATION_FP16_INTERLEAVE_RGB:
      return 2;
    default:
      return 4;
  }
}

uint32_t check_normalisation(const Normalisation& norm) {
  for (int c = 0; c < 3; ++c) {
    if (!std::isfinite(norm.mean[c]) || !std::isfinite(norm.std[c])) return kyceER_INVALID_PARAMETER;
    if (divides_by_std(norm.type) && norm.std[c] == 0.0F) return kyceER_INVALID_PARAMETER;
  }
  return kyceER_SUCCESS;
}

uint32_t TensorRows::prepare(const Normalisation& norm, kyceTensorizationType type, int width, int height,
                             uint8_t* out) {
  norm_ = norm;
  type_ = type;
  width_ = width;
  area_ = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  out_ = out;
  // Planar float32 rows are computed, not looked up (see write).
  if (tensor_element_size(type) == sizeof(float) && is_planar(type)) return kyceER_SUCCESS;
  return build_tables(norm, type, &tables_);
}

void TensorRows::write(int row, const uint8_t* red, const uint8_t* green, const uint8_t* blue) const {
  const uint8_t* channels[3] = {red, green, blue};
  const std::size_t base = static_cast<std::size_t>(row) * static_cast<std::size_t>(width_);
  const std::size_t cols = static_cast<std::size_t>(width_);
  const auto store = [&](const auto& table, auto* out) {
    if (is_planar(type_)) {
      for (int c = 0; c < 3; ++c) {
        auto* o = out + base + area_ * static_cast<std::size_t>(c);
        const auto* t = table[c];
        const uint8_t* p = channels[c];
        for (std::size_t col = 0; col < cols; ++col) o[col] = t[p[col]];
      }
    } else {
      auto* o = out + base * 3;
      for (std::size_t col = 0; col < cols; ++col, o += 3) {
        o[0] = table[0][red[col]];
        o[1] = table[1][green[col]];
        o[2] = table[2][blue[col]];
      }
    }
  };
  switch (tensor_element_size(type_)) {
    case 1:
      return store(tables_.u8, out_);
    case 2:
      return store(tables_.f16, reinterpret_cast<uint16_t*>(out_));
    default: {
      float* out = reinterpret_cast<float*>(out_);
      if (!is_planar(type_)) return store(tables_.f32, out);
      for (int c = 0; c < 3; ++c) normalise_row(channels[c], width_, c, norm_, out + base + area_ * c);
    }
  }
}

uint32_t write_tensor(const cv::Mat& pixels, const int (&order)[3], const Normalisation& norm,
                      kyceTensorizationType type, uint8_t* out) {
  Tables tables;
  const uint32_t code = build_tables(norm, type, &tables);
  if (code != kyceER_SUCCESS) return code;
  write_rows(pixels, 0, pixels.total(), order, type, tables, out);
  return kyceER_SUCCESS;
}

uint32_t write_tensor_nv12_bt601(const cv::Mat& y, const cv::Mat& uv, bool blue_first, const Normalisation& norm,
                                 kyceTensorizationType type, uint8_t* out) {
  Tables tables;
  const uint32_t code = build_tables(norm, type, &tables);
  if (code != kyceER_SUCCESS) return code;
  // A row at a time: the converted row stays in cache for the tables' pass.
  std::vector<uint8_t> buffer(static_cast<std::size_t>(y.cols) * 3);
  const cv::Mat row(1, y.cols, CV_8UC3, buffer.data());
  const int order[3] = {0, 1, 2};
  for (int r = 0; r < y.rows; ++r) {
    nv12_row_bt601(y.ptr<uint8_t>(r), uv.ptr<uint8_t>(r / 2), y.cols, blue_first, buffer.data());
    write_rows(row, r, y.total(), order, type, tables, out);
  }
  return kyceER_SUCCESS;
}

}  // namespace kyce
