// warpAffine: the 2x3 matrix maps source coordinates to destination
// coordinates, as OpenCV's warpAffine without WARP_INVERSE_MAP; destination
// pixels whose source falls outside take the padding. Interleaved RGB/BGR,
// gray and planar RGB (plane by plane) images.
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "border.h"
#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"

extern "C" KY_API uint32_t kyceWarpAffine(kyceAffineMatrix* matrix, kyceWarpAffineMode mode, kycePaddingType padding,
                                          kycePaddingValues* values, kyceImageDesc input, void* input_image,
                                          kyceImageDesc output, void* output_image) try {
  KY_GATE("kyceWarpAffine", {}, static_cast<const void*>(matrix), mode, padding, static_cast<const void*>(values),
          input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    if (matrix == nullptr || values == nullptr) return kyceER_NULL_ARGUMENT;
    int border = 0;
    if (!kyce::border_mode(padding, &border)) return kyceER_INVALID_TYPE;
    if (mode != kyceWARP_AFFINE_MODE_NEAREST && mode != kyceWARP_AFFINE_MODE_BILINEAR) return kyceER_INVALID_TYPE;
    const double* m = matrix->matrix;
    for (int i = 0; i < 6; ++i) {
      if (!std::isfinite(m[i])) return kyceER_INVALID_PARAMETER;
    }
    if (m[0] * m[4] - m[1] * m[3] == 0.0) return kyceER_INVALID_PARAMETER;  // no inverse: nothing maps back
    kyce::DeviceImage source;
    kyce::DeviceImage target;
    uint32_t code = source.open(input, input_image);
    if (code == kyceER_SUCCESS) code = target.open(output, output_image);
    if (code != kyceER_SUCCESS) return code;
    if (kyce::is_yuv(input.format) || output.format != input.format) return kyceER_INVALID_FORMAT;
    source.detach_from(target);
    const cv::Mat transform(2, 3, CV_64F, const_cast<double*>(m));
    const int interpolation = mode == kyceWARP_AFFINE_MODE_NEAREST ? cv::INTER_NEAREST : cv::INTER_LINEAR;
    for (size_t i = 0; i < source.planes().size(); ++i) {
      cv::Mat& out = target.planes()[i];
      cv::Mat result = out;
      cv::warpAffine(source.planes()[i], result, transform, out.size(), interpolation, border,
                     kyce::plane_value(*values, input.format, i));
      if (result.data != out.data) kyce::store(result, out);
    }
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH
