// BT.709 limited-range conversions between YUV 4:2:0 and RGB. OpenCV has no
// BT.709 code, so these are the op engine's own, with the standard matrix:
//   Kr = 0.2126, Kb = 0.0722, Kg = 1 - Kr - Kb; Y in 16..235, U and V in 16..240.
//   R = 1.164384 (Y - 16)                    + 1.792741 (V - 128)
//   G = 1.164384 (Y - 16) - 0.213249 (U - 128) - 0.532909 (V - 128)
//   B = 1.164384 (Y - 16) + 2.112402 (U - 128)
// computed in floating point and rounded to nearest, clipped to 0..255. The
// reverse takes chroma from the top-left pixel of each 2x2 block, as
// OpenCV's BT.601 RGB to I420 conversion does.
#pragma once

#include <opencv2/core.hpp>

namespace kyce {

// `rgb` is interleaved 3-channel; `blue_first` selects BGR order.
void nv12_to_rgb_bt709(const cv::Mat& y, const cv::Mat& uv, cv::Mat& rgb, bool blue_first);
void rgb_to_nv12_bt709(const cv::Mat& rgb, bool blue_first, cv::Mat& y, cv::Mat& uv);

}  // namespace kyce
