// yuvFlip: a YUV 4:2:0 image mirrored plane by plane. The X axis turns the
// picture upside down, the Y axis mirrors it left to right (OpenCV's flip
// codes 0 and 1); NV12's interleaved chroma pairs move together.
#include <opencv2/core.hpp>

#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"

extern "C" KY_API uint32_t kyceYuvFlip(kyceFlipType axis, kyceImageDesc input, void* input_image, kyceImageDesc output,
                                       void* output_image) try {
  KY_GATE("kyceYuvFlip", {}, axis, input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    int flip_code = 0;
    switch (axis) {
      case kyceFLIP_X_AXIS:
        flip_code = 0;
        break;
      case kyceFLIP_Y_AXIS:
        flip_code = 1;
        break;
      case kyceFLIP_BOTH_AXES:
        flip_code = -1;
        break;
      default:
        return kyceER_INVALID_TYPE;
    }
    kyce::DeviceImage source;
    kyce::DeviceImage target;
    uint32_t code = source.open(input, input_image);
    if (code == kyceER_SUCCESS) code = target.open(output, output_image);
    if (code != kyceER_SUCCESS) return code;
    if (!kyce::is_yuv(input.format) || output.format != input.format) return kyceER_INVALID_FORMAT;
    if (output.width != input.width || output.height != input.height) return kyceER_INVALID_SIZE;
    source.detach_from(target);
    for (size_t i = 0; i < source.planes().size(); ++i) {
      cv::Mat result = target.planes()[i];
      cv::flip(source.planes()[i], result, flip_code);
      if (result.data != target.planes()[i].data) kyce::store(result, target.planes()[i]);
    }
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH
