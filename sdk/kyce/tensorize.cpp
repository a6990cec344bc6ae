// Normalisation is computed in float32 in the order the formulas are written
// ((x / 255 - mean) / std, never a folded multiply-add), so a tensor equals
// the same arithmetic done on float32 arrays elsewhere. float16 elements come
// from the common runtime's conversion of the float32 table.
#include "tensorize.h"

#include <cmath>

#include "kycm.h"

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

template <class T>
void write_planar(const cv::Mat& pixels, const int (&order)[3], const T (&table)[3][256], T* out) {
  const std::size_t area = static_cast<std::size_t>(pixels.rows) * pixels.cols;
  T* planes[3] = {out, out + area, out + 2 * area};
  const T* t0 = table[0];
  const T* t1 = table[1];
  const T* t2 = table[2];
  for (int row = 0; row < pixels.rows; ++row) {
    const uint8_t* p = pixels.ptr<uint8_t>(row);
    const std::size_t base = static_cast<std::size_t>(row) * pixels.cols;
    T* o0 = planes[0] + base;
    T* o1 = planes[1] + base;
    T* o2 = planes[2] + base;
    for (int col = 0; col < pixels.cols; ++col, p += 3) {
      o0[col] = t0[p[order[0]]];
      o1[col] = t1[p[order[1]]];
      o2[col] = t2[p[order[2]]];
    }
  }
}

template <class T>
void write_interleaved(const cv::Mat& pixels, const int (&order)[3], const T (&table)[3][256], T* out) {
  for (int row = 0; row < pixels.rows; ++row) {
    const uint8_t* p = pixels.ptr<uint8_t>(row);
    T* o = out + static_cast<std::size_t>(row) * pixels.cols * 3;
    for (int col = 0; col < pixels.cols; ++col, p += 3, o += 3) {
      o[0] = table[0][p[order[0]]];
      o[1] = table[1][p[order[1]]];
      o[2] = table[2][p[order[2]]];
    }
  }
}

template <class T>
void write_layout(const cv::Mat& pixels, const int (&order)[3], const T (&table)[3][256], bool planar, uint8_t* out) {
  T* typed = reinterpret_cast<T*>(out);
  if (planar) {
    write_planar(pixels, order, table, typed);
  } else {
    write_interleaved(pixels, order, table, typed);
  }
}

bool divides_by_std(kyceNormType type) {
  return type == kyceNORM_MINUSMEAN_DIVSTD || type == kyceNORM_DIV255_MINUSMEAN_DIVSTD;
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

uint32_t write_tensor(const cv::Mat& pixels, const int (&order)[3], const Normalisation& norm,
                      kyceTensorizationType type, uint8_t* out) {
  float values[3][256];
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) values[c][v] = normalised(v, c, norm);
  }
  const bool planar =
      type == kyceTENSORIZATION_NONE || type == kyceTENSORIZATION_UINT8 || type == kyceTENSORIZATION_FP16;
  switch (tensor_element_size(type)) {
    case 1: {
      uint8_t bytes[3][256];
      for (int c = 0; c < 3; ++c) {
        for (int v = 0; v < 256; ++v) bytes[c][v] = to_byte(values[c][v]);
      }
      write_layout(pixels, order, bytes, planar, out);
      return kyceER_SUCCESS;
    }
    case 2: {
      uint16_t halves[3][256] = {};
      if (kycmFloat32ToFloat16Array(&values[0][0], 3 * 256, &halves[0][0]) != 0) return kyceER_OPERATION_FAILED;
      write_layout(pixels, order, halves, planar, out);
      return kyceER_SUCCESS;
    }
    default:
      write_layout(pixels, order, values, planar, out);
      return kyceER_SUCCESS;
  }
}

}  // namespace kyce
