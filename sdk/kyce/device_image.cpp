// Image layouts in device memory. Pitches count pixels: a plane's row stride
// is widthPitch times its bytes per pixel, and planes follow each other at
// widthPitch x heightPitch luma samples. YUV 4:2:0 images have even sizes
// and pitches so that chroma sits at exactly half the luma geometry.
#include "device_image.h"

#include "op_guard.h"

namespace kyce {

bool is_yuv(kyceImageType format) { return format == kyceIMG_YUV_NV12 || format == kyceIMG_YUV_I420; }

uint32_t describe(const kyceImageDesc& desc, std::vector<PlaneGeometry>* planes, uint64_t* bytes) {
  const kyceImageType format = desc.format;
  switch (format) {
    case kyceIMG_YUV_NV12:
    case kyceIMG_YUV_I420:
    case kyceIMG_RGB_PLANAR:
    case kyceIMG_RGB888:
    case kyceIMG_BGR888:
    case kyceIMG_GRAY:
      break;
    default:
      return kyceER_INVALID_FORMAT;
  }
  const int w = desc.width;
  const int h = desc.height;
  if (w <= 0 || h <= 0) return kyceER_INVALID_SIZE;
  if (is_yuv(format) && (w % 2 != 0 || h % 2 != 0)) return kyceER_INVALID_SIZE;
  if (desc.widthPitch < w || desc.heightPitch < h) return kyceER_INVALID_PITCH;
  if (is_yuv(format) && (desc.widthPitch % 2 != 0 || desc.heightPitch % 2 != 0)) return kyceER_INVALID_PITCH;

  const auto wp = static_cast<uint64_t>(desc.widthPitch);
  const uint64_t area = wp * static_cast<uint64_t>(desc.heightPitch);
  planes->clear();
  switch (format) {
    case kyceIMG_YUV_NV12:
      planes->push_back({w, h, 1, 0, wp});
      planes->push_back({w / 2, h / 2, 2, area, wp});
      *bytes = area + area / 2;
      break;
    case kyceIMG_YUV_I420:
      planes->push_back({w, h, 1, 0, wp});
      planes->push_back({w / 2, h / 2, 1, area, wp / 2});
      planes->push_back({w / 2, h / 2, 1, area + area / 4, wp / 2});
      *bytes = area + area / 2;
      break;
    case kyceIMG_RGB_PLANAR:
      for (uint64_t i = 0; i < 3; ++i) planes->push_back({w, h, 1, i * area, wp});
      *bytes = 3 * area;
      break;
    case kyceIMG_RGB888:
    case kyceIMG_BGR888:
      planes->push_back({w, h, 3, 0, wp * 3});
      *bytes = 3 * area;
      break;
    default:  // gray
      planes->push_back({w, h, 1, 0, wp});
      *bytes = area;
      break;
  }
  return kyceER_SUCCESS;
}

uint32_t DeviceImage::open(const kyceImageDesc& desc, void* address) {
  std::vector<PlaneGeometry> geometry;
  const uint32_t code = describe(desc, &geometry, &bytes_);
  if (code != kyceER_SUCCESS) return code;
  if (address == nullptr) return kyceER_NULL_ARGUMENT;
  if (!kycore::DeviceMemory::is_device_address(address)) return kyceER_INVALID_MEMORY;
  span_ = kycore::DeviceMemory::instance().resolve(address, bytes_);
  if (span_.data == nullptr) return kyceER_INVALID_MEMORY;
  if (t_op_device < 0) t_op_device = span_.device;
  desc_ = desc;
  planes_.clear();
  for (const PlaneGeometry& plane : geometry) {
    planes_.emplace_back(plane.height, plane.width, CV_8UC(plane.channels), span_.data + plane.offset,
                         static_cast<size_t>(plane.stride));
  }
  return kyceER_SUCCESS;
}

void DeviceImage::detach_from(const DeviceImage& other) {
  const uint8_t* begin = span_.data;
  const uint8_t* other_begin = other.span_.data;
  if (begin == nullptr || other_begin == nullptr) return;
  if (begin >= other_begin + other.bytes_ || other_begin >= begin + bytes_) return;
  for (cv::Mat& plane : planes_) plane = plane.clone();
}

void store(const cv::Mat& source, cv::Mat& destination) {
  CV_Assert(source.size() == destination.size() && source.type() == destination.type());
  source.copyTo(destination);
}

}  // namespace kyce
