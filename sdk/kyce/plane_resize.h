// One plane resized with any resizeType: OpenCV's interpolations for the
// plain and _CV variants, Pillow's filters for the _PILLOW ones, a copy for
// NO_RESIZE. Shared by resize, scale, batchCropResize and the border op.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "kyce.h"

namespace kyce {

bool is_known_resize(kyceResizeType type);

// Writes `source` resized into `destination` (same type, its own size).
// NO_RESIZE requires equal sizes; the caller checks that.
void resize_plane(kyceResizeType type, const cv::Mat& source, cv::Mat& destination);

// Every plane of an image into the matching plane of another image of the
// same format.
void resize_planes(kyceResizeType type, const std::vector<cv::Mat>& sources, std::vector<cv::Mat>& destinations);

}  // namespace kyce
