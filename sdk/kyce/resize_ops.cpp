// resize, scale and batchCropResize: one source, one or several outputs of
// the source's format, every plane resized on its own. Every output is
// checked before the first is written, so a refusal writes nothing.
#include <vector>

#include "crop_region.h"
#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"
#include "plane_resize.h"

using kyce::DeviceImage;

namespace {

uint32_t check_pair(kyceResizeType type, const DeviceImage& input, const kyceImageDesc& output) {
  if (output.format != input.desc().format) return kyceER_INVALID_FORMAT;
  if (type == kyceRESIZE_NO_RESIZE && (output.width != input.desc().width || output.height != input.desc().height)) {
    return kyceER_INVALID_SIZE;
  }
  return kyceER_SUCCESS;
}

// Opens every output and checks it against the source.
uint32_t open_outputs(kyceResizeType type, const DeviceImage& input, uint32_t count, const kyceImageDesc* descs,
                      void* const* addresses, std::vector<DeviceImage>* outputs) {
  outputs->resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t code = (*outputs)[i].open(descs[i], addresses[i]);
    if (code == kyceER_SUCCESS) code = check_pair(type, input, descs[i]);
    if (code != kyceER_SUCCESS) return code;
  }
  return kyceER_SUCCESS;
}

}  // namespace

extern "C" {

KY_API uint32_t kyceResize(kyceResizeType type, kyceImageDesc input, void* input_image, kyceImageDesc output,
                           void* output_image) try {
  KY_GATE("kyceResize", {}, type, input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    if (!kyce::is_known_resize(type)) return kyceER_INVALID_TYPE;
    DeviceImage source;
    uint32_t code = source.open(input, input_image);
    if (code != kyceER_SUCCESS) return code;
    std::vector<DeviceImage> outputs;
    code = open_outputs(type, source, 1, &output, &output_image, &outputs);
    if (code != kyceER_SUCCESS) return code;
    source.detach_from(outputs[0]);
    kyce::resize_planes(type, source.planes(), outputs[0].planes());
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH

KY_API uint32_t kyceScale(kyceResizeType type, uint32_t count, kyceImageDesc input, void* input_image,
                          kyceImageDesc* outputs, void** output_images) try {
  KY_GATE("kyceScale", {}, type, count, input_image, static_cast<const void*>(outputs),
          static_cast<const void*>(output_images));
  return kyce::guarded([&]() -> uint32_t {
    if (!kyce::is_known_resize(type)) return kyceER_INVALID_TYPE;
    if (count == 0) return kyceER_INVALID_PARAMETER;
    if (outputs == nullptr || output_images == nullptr) return kyceER_NULL_ARGUMENT;
    DeviceImage source;
    uint32_t code = source.open(input, input_image);
    if (code != kyceER_SUCCESS) return code;
    std::vector<DeviceImage> images;
    code = open_outputs(type, source, count, outputs, output_images, &images);
    if (code != kyceER_SUCCESS) return code;
    for (DeviceImage& image : images) source.detach_from(image);
    for (DeviceImage& image : images) kyce::resize_planes(type, source.planes(), image.planes());
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH

KY_API uint32_t kyceBatchCropResize(cropRect* rects, uint32_t count, kyceResizeType type, kyceImageDesc input,
                                    void* input_image, kyceImageDesc output, void** output_images) try {
  KY_GATE("kyceBatchCropResize", {}, static_cast<const void*>(rects), count, type, input_image,
          static_cast<const void*>(output_images));
  return kyce::guarded([&]() -> uint32_t {
    if (!kyce::is_known_resize(type)) return kyceER_INVALID_TYPE;
    if (count == 0) return kyceER_INVALID_PARAMETER;
    if (rects == nullptr || output_images == nullptr) return kyceER_NULL_ARGUMENT;
    DeviceImage source;
    uint32_t code = source.open(input, input_image);
    if (code != kyceER_SUCCESS) return code;
    std::vector<kyceImageDesc> descs(count, output);
    std::vector<DeviceImage> images;
    code = open_outputs(kyceRESIZE_BILINEAR, source, count, descs.data(), output_images, &images);
    if (code != kyceER_SUCCESS) return code;
    for (uint32_t i = 0; i < count; ++i) {
      code = kyce::check_rect(rects[i], input);
      if (code != kyceER_SUCCESS) return code;
      if (type == kyceRESIZE_NO_RESIZE && (rects[i].width != output.width || rects[i].height != output.height)) {
        return kyceER_INVALID_SIZE;
      }
    }
    for (DeviceImage& image : images) source.detach_from(image);
    for (uint32_t i = 0; i < count; ++i) {
      kyce::resize_planes(type, kyce::crop_views(source.planes(), rects[i], input.format), images[i].planes());
    }
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH

}  // extern "C"
