// The last two steps of the fusion ops: each 8-bit channel value normalised
// (normType) and stored as the tensor's element type in its layout
// (tensorizationType). Both depend only on the channel and the byte, so they
// are one table of 3 x 256 elements built per call and one pass over the
// pixels that reads each pixel once and writes every plane.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>

#include "kyce.h"

namespace kyce {

struct Normalisation {
  kyceNormType type = kyceNORM_NORMALIZATION_NONE;
  float mean[3] = {0, 0, 0};
  float std[3] = {1, 1, 1};
};

bool is_known_norm(kyceNormType type);
bool is_known_tensorization(kyceTensorizationType type);
// Bytes per element of a tensorization type (float32 for NONE).
std::size_t tensor_element_size(kyceTensorizationType type);
// kyceER_INVALID_PARAMETER when a standard deviation the type divides by is 0
// or not finite, or a mean is not finite.
uint32_t check_normalisation(const Normalisation& norm);

// Every element a channel byte can become, for the tensor's element type.
struct TensorTables {
  float f32[3][256];
  uint16_t f16[3][256];
  uint8_t u8[3][256];
};

// One tensor's normalisation and layout, prepared once, then filled a row at
// a time from three channel rows (already in output channel order). Rows may
// be written from several threads at once.
class TensorRows {
 public:
  // kyceER_OPERATION_FAILED when the float16 conversion fails.
  uint32_t prepare(const Normalisation& norm, kyceTensorizationType type, int width, int height, uint8_t* out);
  // Tensor row `row` from `width` bytes of each channel.
  void write(int row, const uint8_t* red, const uint8_t* green, const uint8_t* blue) const;

 private:
  Normalisation norm_;
  kyceTensorizationType type_ = kyceTENSORIZATION_NONE;
  int width_ = 0;
  std::size_t area_ = 0;
  uint8_t* out_ = nullptr;
  TensorTables tables_;
};

// Writes the tensor of `pixels` (8-bit, 3 channels, any row stride) to `out`:
// planar (C, H, W) or interleaved (H, W, C) by `type`; output channel c
// comes from pixel channel order[c] and is normalised with mean[c], std[c].
// kyceER_OPERATION_FAILED when the float16 conversion fails.
uint32_t write_tensor(const cv::Mat& pixels, const int (&order)[3], const Normalisation& norm,
                      kyceTensorizationType type, uint8_t* out);

// The same for an NV12 picture (even width) converted to RGB, or BGR with
// `blue_first`, by the BT.601 conversion of cvtColor, in the same pass.
uint32_t write_tensor_nv12_bt601(const cv::Mat& y, const cv::Mat& uv, bool blue_first, const Normalisation& norm,
                                 kyceTensorizationType type, uint8_t* out);

}  // namespace kyce
