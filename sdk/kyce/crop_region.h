// Rectangles of a source image: their checks and the plane views they cut,
// shared by crop and batchCropResize.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "kyce.h"

namespace kyce {

// kyceER_INVALID_SIZE unless the rectangle is non-empty, lies inside the
// image and, for YUV 4:2:0, starts and ends on even positions.
uint32_t check_rect(const cropRect& rect, const kyceImageDesc& image);

// Views (no copy) of the rectangle in each plane; chroma planes at half size.
std::vector<cv::Mat> crop_views(const std::vector<cv::Mat>& planes, const cropRect& rect, kyceImageType format);

}  // namespace kyce
