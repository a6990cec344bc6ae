// crop: the rectangle of the source copied into an output of its size.
#include "crop_region.h"
#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"
#include "plane_resize.h"

extern "C" KY_API uint32_t kyceCrop(cropRect* rect, kyceImageDesc input, void* input_image, kyceImageDesc output,
                                    void* output_image) try {
  KY_GATE("kyceCrop", {}, static_cast<const void*>(rect), input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    if (rect == nullptr) return kyceER_NULL_ARGUMENT;
    kyce::DeviceImage source;
    kyce::DeviceImage target;
    uint32_t code = source.open(input, input_image);
    if (code == kyceER_SUCCESS) code = target.open(output, output_image);
    if (code != kyceER_SUCCESS) return code;
    if (output.format != input.format) return kyceER_INVALID_FORMAT;
    const cropRect region = *rect;
    code = kyce::check_rect(region, input);
    if (code != kyceER_SUCCESS) return code;
    if (region.width != output.width || region.height != output.height) return kyceER_INVALID_SIZE;
    source.detach_from(target);
    kyce::resize_planes(kyceRESIZE_NO_RESIZE, kyce::crop_views(source.planes(), region, input.format), target.planes());
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH
