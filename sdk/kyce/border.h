// Padding types and values as OpenCV border modes and per-plane scalars.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

#include "kyce.h"

namespace kyce {

// False for a padding type the ops do not know. REFLECT is OpenCV's
// BORDER_REFLECT (the edge pixel repeated: fedcba|abcdef).
bool border_mode(kycePaddingType padding, int* mode);

// The constant for plane `plane` of an image of `format`: interleaved images
// take all three values, planar RGB one per plane, YUV Y then U and V (the
// NV12 chroma plane both), gray the first.
cv::Scalar plane_value(const kycePaddingValues& values, kyceImageType format, size_t plane);

}  // namespace kyce
