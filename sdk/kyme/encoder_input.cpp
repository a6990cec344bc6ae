// A caller's picture, read only where every plane's rows lie in readable
// host memory or in one live device block.
#include "encoder_input.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <climits>

#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/host_access.h"
#include "picture_format.h"

namespace kyme {

using namespace kycore;

uint32_t copy_picture(const kymeFrame& frame, const PictureEncoder& encoder, SwsContext** scaler, FramePtr* out) {
  const AVPixelFormat source = to_av_format(frame.pixelFormat);
  if (!encoder.accepts(frame.pixelFormat) || source == AV_PIX_FMT_NONE) return KYME_UNSUPPORTED_FORMAT;
  if (frame.width != static_cast<uint32_t>(encoder.width()) ||
      frame.height != static_cast<uint32_t>(encoder.height())) {
    return KYME_UNSUPPORTED_FORMAT;
  }
  const int width = encoder.width();
  const int height = encoder.height();
  const int planes = av_pix_fmt_count_planes(source);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source);
  int least[4] = {};
  if (planes < 1 || planes > KYME_MAX_VIDEO_PLANE || desc == nullptr ||
      av_image_fill_linesizes(least, source, width) < 0) {
    return KYME_UNSUPPORTED_FORMAT;
  }
  const uint8_t* planes_in[4] = {};
  int strides_in[4] = {};
  DeviceSpan keep[KYME_MAX_VIDEO_PLANE];
  for (int i = 0; i < planes; ++i) {
    const uint32_t stride = frame.stride[i];
    if (stride < static_cast<uint32_t>(least[i]) || stride > INT_MAX) return KYME_UNSUPPORTED_FORMAT;
    const int rows = i == 0 ? height : AV_CEIL_RSHIFT(height, desc->log2_chroma_h);
    // The last row needs only its samples, not the whole stride.
    const uint64_t size = static_cast<uint64_t>(stride) * (rows - 1) + static_cast<uint64_t>(least[i]);
    if (frame.memoryType == KYME_MEM_HOST) {
      if (frame.data[i] == nullptr || !host_range_accessible(frame.data[i], size, HostAccess::read)) {
        return KYME_INVALID_ARGUMENT;
      }
      planes_in[i] = frame.data[i];
    } else if (frame.memoryType == KYME_MEM_DEVICE) {
      const void* address =
          frame.data[i] != nullptr ? frame.data[i] : reinterpret_cast<const void*>(frame.busAddress[i]);
      if (!DeviceMemory::is_device_address(address)) return KYME_INVALID_ARGUMENT;
      keep[i] = DeviceMemory::instance().resolve(address, size);
      if (keep[i].data == nullptr) return KYME_INVALID_ARGUMENT;
      planes_in[i] = keep[i].data;
    } else {
      return KYME_INVALID_ARGUMENT;
    }
    strides_in[i] = static_cast<int>(stride);
  }

  FramePtr picture(av_frame_alloc());
  if (!picture) return KYME_OUT_OF_MEMORY;
  picture->format = encoder.format();
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return KYME_OUT_OF_MEMORY;
  if (source == encoder.format()) {
    av_image_copy(picture->data, picture->linesize, planes_in, strides_in, source, width, height);
  } else {
    *scaler = sws_getCachedContext(*scaler, width, height, source, width, height, encoder.format(), SWS_POINT, nullptr,
                                   nullptr, nullptr);
    if (*scaler == nullptr) return KYME_UNSUPPORTED_FORMAT;
    sws_scale(*scaler, planes_in, strides_in, 0, height, picture->data, picture->linesize);
  }
  picture->pts = frame.pts;
  *out = std::move(picture);
  return OK;
}

}  // namespace kyme
