// Device images: an image description checked against its format's layout,
// and the planes of its device memory as matrices over the SDK's backing of
// that memory. Ops reach pixels only through these views.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "kyce.h"
#include "kycore/device_memory.h"

namespace kyce {

struct PlaneGeometry {
  int width = 0;
  int height = 0;
  int channels = 1;
  uint64_t offset = 0;  // bytes from the image start
  uint64_t stride = 0;  // bytes from one row to the next
};

bool is_yuv(kyceImageType format);

// The planes of `desc` and the bytes they span, or a kyceER_ code for a
// description the layout cannot hold (format, sizes, pitches).
uint32_t describe(const kyceImageDesc& desc, std::vector<PlaneGeometry>* planes, uint64_t* bytes);

class DeviceImage {
 public:
  // Checks the description and resolves `address` to device memory covering
  // all of it. The block stays alive as long as this object.
  uint32_t open(const kyceImageDesc& desc, void* address);

  const kyceImageDesc& desc() const { return desc_; }
  std::vector<cv::Mat>& planes() { return planes_; }
  const std::vector<cv::Mat>& planes() const { return planes_; }

  // When this image shares bytes with `other` (an op's output), its planes
  // become private copies so the op reads the source as it was.
  void detach_from(const DeviceImage& other);

 private:
  kyceImageDesc desc_{};
  kycore::DeviceSpan span_;
  uint64_t bytes_ = 0;
  std::vector<cv::Mat> planes_;
};

// Writes `source` into `destination`, a view of device memory of the same
// size and type, without letting OpenCV replace the view's buffer.
void store(const cv::Mat& source, cv::Mat& destination);

}  // namespace kyce
