// The interpolation each resizeType stands for.
#include "plane_resize.h"

#include <opencv2/imgproc.hpp>

#include "device_image.h"
#include "pillow_resample.h"

namespace kyce {

bool is_known_resize(kyceResizeType type) { return type >= kyceRESIZE_NO_RESIZE && type < kyceRESIZE_BUTT; }

namespace {

void opencv_resize(const cv::Mat& source, cv::Mat& destination, int interpolation) {
  cv::Mat result = destination;  // a header over the same bytes
  cv::resize(source, result, destination.size(), 0, 0, interpolation);
  if (result.data != destination.data) store(result, destination);
}

}  // namespace

void resize_plane(kyceResizeType type, const cv::Mat& source, cv::Mat& destination) {
  switch (type) {
    case kyceRESIZE_BILINEAR:
    case kyceRESIZE_BILINEAR_CV:
      return opencv_resize(source, destination, cv::INTER_LINEAR);
    case kyceRESIZE_NEAREST:
    case kyceRESIZE_NEAREST_CV:
      return opencv_resize(source, destination, cv::INTER_NEAREST);
    case kyceRESIZE_BICUBIC:
      return opencv_resize(source, destination, cv::INTER_CUBIC);
    case kyceRESIZE_LANCZOS:
    case kyceRESIZE_LANCZOS_CV:
      return opencv_resize(source, destination, cv::INTER_LANCZOS4);
    case kyceRESIZE_BILINEAR_PILLOW:
      return pillow_resize(source, destination, PillowFilter::bilinear);
    case kyceRESIZE_LANCZOS_PILLOW:
      return pillow_resize(source, destination, PillowFilter::lanczos);
    case kyceRESIZE_BOX_PILLOW:
      return pillow_resize(source, destination, PillowFilter::box);
    case kyceRESIZE_HAMMING_PILLOW:
      return pillow_resize(source, destination, PillowFilter::hamming);
    case kyceRESIZE_BICUBIC_PILLOW:
      return pillow_resize(source, destination, PillowFilter::bicubic);
    default:  // NO_RESIZE
      return store(source, destination);
  }
}

void resize_planes(kyceResizeType type, const std::vector<cv::Mat>& sources, std::vector<cv::Mat>& destinations) {
  for (size_t i = 0; i < sources.size(); ++i) resize_plane(type, sources[i], destinations[i]);
}

}  // namespace kyce
