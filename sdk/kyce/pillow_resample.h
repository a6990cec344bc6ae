// The separable convolution resampling that Pillow's Image.resize performs
// (box, bilinear, hamming, bicubic, lanczos), reproduced bit for bit.
#pragma once

#include <opencv2/core.hpp>

namespace kyce {

enum class PillowFilter { box, bilinear, hamming, bicubic, lanczos };

// Resamples `source` (8-bit, 1 to 4 channels) to the size of `destination`,
// which has the same type and is written in place.
void pillow_resize(const cv::Mat& source, cv::Mat& destination, PillowFilter filter);

}  // namespace kyce
