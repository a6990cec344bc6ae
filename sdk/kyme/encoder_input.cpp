// A caller's picture, read only where every plane's rows lie in readable
// host memory or in one live device block.
#include "encoder_input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
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

uint32_t locate_picture(const kymeFrame& frame, const PictureEncoder& encoder, SourcePicture* out) {
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
  SourcePicture found;
  found.format = source;
  found.pts = frame.pts;
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
      found.planes[i] = frame.data[i];
    } else if (frame.memoryType == KYME_MEM_DEVICE) {
      const void* address =
          frame.data[i] != nullptr ? frame.data[i] : reinterpret_cast<const void*>(frame.busAddress[i]);
      if (!DeviceMemory::is_device_address(address)) return KYME_INVALID_ARGUMENT;
      found.keep[i] = DeviceMemory::instance().resolve(address, size);
      if (found.keep[i].data == nullptr) return KYME_INVALID_ARGUMENT;
      found.planes[i] = found.keep[i].data;
    } else {
      return KYME_INVALID_ARGUMENT;
    }
    found.strides[i] = static_cast<int>(stride);
  }
  *out = std::move(found);
  return OK;
}

PictureBuffers::~PictureBuffers() {
  sws_freeContext(scaler_);
  av_buffer_pool_uninit(&pool_);
}

// One buffer holds every plane, laid out as libavutil lays out a picture
// with rows aligned for its vector code, plus its padding after the end.
bool PictureBuffers::attach_buffer(AVFrame* picture) {
  constexpr int kAlign = 64;
  const auto format = static_cast<AVPixelFormat>(picture->format);
  const int size = av_image_get_buffer_size(format, picture->width, picture->height, kAlign);
  if (size < 0) return false;
  const std::size_t wanted = static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE;
  if (pool_ == nullptr || pool_size_ != wanted) {
    av_buffer_pool_uninit(&pool_);
    pool_ = av_buffer_pool_init(wanted, nullptr);
    pool_size_ = pool_ != nullptr ? wanted : 0;
    if (pool_ == nullptr) return false;
  }
  picture->buf[0] = av_buffer_pool_get(pool_);
  if (picture->buf[0] == nullptr) return false;
  return av_image_fill_arrays(picture->data, picture->linesize, picture->buf[0]->data, format, picture->width,
                              picture->height, kAlign) >= 0;
}

uint32_t PictureBuffers::copy(const SourcePicture& in, const PictureEncoder& encoder, FramePtr* out) {
  const AVPixelFormat source = in.format;
  // libavutil's copy takes the plane table as non-const.
  const uint8_t* planes[4] = {in.planes[0], in.planes[1], in.planes[2], in.planes[3]};
  const int width = encoder.width();
  const int height = encoder.height();
  FramePtr picture(av_frame_alloc());
  if (!picture) return KYME_OUT_OF_MEMORY;
  picture->format = encoder.format();
  picture->width = width;
  picture->height = height;
  if (!attach_buffer(picture.get())) return KYME_OUT_OF_MEMORY;
  if (source == encoder.format()) {
    av_image_copy(picture->data, picture->linesize, planes, in.strides, source, width, height);
  } else {
    scaler_ = sws_getCachedContext(scaler_, width, height, source, width, height, encoder.format(), SWS_POINT, nullptr,
                                   nullptr, nullptr);
    if (scaler_ == nullptr) return KYME_UNSUPPORTED_FORMAT;
    sws_scale(scaler_, planes, in.strides, 0, height, picture->data, picture->linesize);
  }
  picture->pts = in.pts;
  *out = std::move(picture);
  return OK;
}

}  // namespace kyme
