// Rectangle checks in 64 bits so that no sum of corner and size can wrap.
#include "crop_region.h"

#include "device_image.h"

namespace kyce {

uint32_t check_rect(const cropRect& rect, const kyceImageDesc& image) {
  if (rect.start_x < 0 || rect.start_y < 0 || rect.width <= 0 || rect.height <= 0) return kyceER_INVALID_SIZE;
  if (int64_t{rect.start_x} + rect.width > image.width || int64_t{rect.start_y} + rect.height > image.height) {
    return kyceER_INVALID_SIZE;
  }
  if (is_yuv(image.format) &&
      ((rect.start_x | rect.start_y | rect.width | rect.height) & 1) != 0) {  // chroma covers 2x2 luma samples
    return kyceER_INVALID_SIZE;
  }
  return kyceER_SUCCESS;
}

std::vector<cv::Mat> crop_views(const std::vector<cv::Mat>& planes, const cropRect& rect, kyceImageType format) {
  std::vector<cv::Mat> views;
  for (size_t i = 0; i < planes.size(); ++i) {
    const int divisor = (is_yuv(format) && i > 0) ? 2 : 1;
    views.push_back(planes[i](
        cv::Rect(rect.start_x / divisor, rect.start_y / divisor, rect.width / divisor, rect.height / divisor)));
  }
  return views;
}

}  // namespace kyce
