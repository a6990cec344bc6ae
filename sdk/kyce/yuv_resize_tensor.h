// NV12 to a normalised tensor in one pass: both planes resized bilinearly,
// converted with BT.601 and stored, output row by output row, reading only
// the source pixels the output samples.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>

#include "kyce.h"
#include "tensorize.h"

namespace kyce {

// The tensor of the NV12 picture (y, uv) resized to resized_width x
// resized_height (both even) with cv::resize's INTER_LINEAR, cut to `window`
// (even corner and size, inside the resized picture), converted to RGB (or
// BGR with `blue_first`) as cvtColorTwoPlane does, then normalised and laid
// out by `type`. Equal byte for byte to those steps; rows are shared out over
// OpenCV's threads.
uint32_t write_tensor_nv12_linear(const cv::Mat& y, const cv::Mat& uv, int resized_width, int resized_height,
                                  const cv::Rect& window, bool blue_first, const Normalisation& norm,
                                  kyceTensorizationType type, uint8_t* out);

// The same from an I420 picture (its U and V planes apart), byte for byte
// the tensor of that picture laid out as NV12.
uint32_t write_tensor_i420_linear(const cv::Mat& y, const cv::Mat& u, const cv::Mat& v, int resized_width,
                                  int resized_height, const cv::Rect& window, bool blue_first,
                                  const Normalisation& norm, kyceTensorizationType type, uint8_t* out);

}  // namespace kyce
