// The mapping from the library's padding enumeration to OpenCV's borders.
#include "border.h"

namespace kyce {

bool border_mode(kycePaddingType padding, int* mode) {
  switch (padding) {
    case kyceEDGE_PADDING_TYPE_CONSTANT:
      *mode = cv::BORDER_CONSTANT;
      return true;
    case kyceEDGE_PADDING_REPLICATE:
      *mode = cv::BORDER_REPLICATE;
      return true;
    case kyceEDGE_PADDING_TYPE_REFLECT:
      *mode = cv::BORDER_REFLECT;
      return true;
    default:
      return false;
  }
}

cv::Scalar plane_value(const kycePaddingValues& values, kyceImageType format, size_t plane) {
  const uint8_t* v = values.value;
  switch (format) {
    case kyceIMG_RGB888:
    case kyceIMG_BGR888:
      return {static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2])};
    case kyceIMG_YUV_NV12:
      return plane == 0 ? cv::Scalar(v[0]) : cv::Scalar(v[1], v[2]);
    case kyceIMG_YUV_I420:
    case kyceIMG_RGB_PLANAR:
      return cv::Scalar(v[plane < 3 ? plane : 0]);
    default:
      return cv::Scalar(v[0]);
  }
}

}  // namespace kyce
