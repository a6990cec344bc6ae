// resizeCopyMakeBorder: the source resized into the output's inner area
// (the output size less the edges), then the edges filled as OpenCV's
// copyMakeBorder fills them. YUV images take even edges, halved for chroma.
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "border.h"
#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"
#include "plane_resize.h"

extern "C" KY_API uint32_t kyceResizeCopyMakeBorder(kyceResizeType type, kycePaddingType padding,
                                                    kycePaddingValues* values, kycePaddingEdges* edges,
                                                    kyceImageDesc input, void* input_image, kyceImageDesc output,
                                                    void* output_image) try {
  KY_GATE("kyceResizeCopyMakeBorder", {}, type, padding, static_cast<const void*>(values),
          static_cast<const void*>(edges), input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    if (values == nullptr || edges == nullptr) return kyceER_NULL_ARGUMENT;
    int border = 0;
    if (!kyce::border_mode(padding, &border) || !kyce::is_known_resize(type)) return kyceER_INVALID_TYPE;
    kyce::DeviceImage source;
    kyce::DeviceImage target;
    uint32_t code = source.open(input, input_image);
    if (code == kyceER_SUCCESS) code = target.open(output, output_image);
    if (code != kyceER_SUCCESS) return code;
    if (output.format != input.format) return kyceER_INVALID_FORMAT;
    const kycePaddingEdges e = *edges;
    const int64_t inner_width = int64_t{output.width} - e.left - e.right;
    const int64_t inner_height = int64_t{output.height} - e.top - e.bottom;
    if (inner_width <= 0 || inner_height <= 0) return kyceER_INVALID_SIZE;
    const bool yuv = kyce::is_yuv(input.format);
    if (yuv && ((e.top | e.bottom | e.left | e.right) & 1U) != 0) return kyceER_INVALID_SIZE;
    if (type == kyceRESIZE_NO_RESIZE && (inner_width != input.width || inner_height != input.height)) {
      return kyceER_INVALID_SIZE;
    }
    source.detach_from(target);
    for (size_t i = 0; i < source.planes().size(); ++i) {
      const int divisor = (yuv && i > 0) ? 2 : 1;
      cv::Mat& out = target.planes()[i];
      cv::Mat inner(static_cast<int>(inner_height) / divisor, static_cast<int>(inner_width) / divisor, out.type());
      kyce::resize_plane(type, source.planes()[i], inner);
      cv::Mat result = out;
      cv::copyMakeBorder(inner, result, static_cast<int>(e.top) / divisor, static_cast<int>(e.bottom) / divisor,
                         static_cast<int>(e.left) / divisor, static_cast<int>(e.right) / divisor, border,
                         kyce::plane_value(*values, input.format, i));
      if (result.data != out.data) kyce::store(result, out);
    }
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH
