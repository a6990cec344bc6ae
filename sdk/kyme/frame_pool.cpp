// The picture pool shared by a channel's successive libavcodec contexts. Its
// planes are laid out as libavcodec's default allocator lays them out, so
// that decoding is the same with either, and come from the process's spare
// planes when a channel before left some of the size.
#include "frame_pool.h"

#include "spare_planes.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kyme {
namespace {

// libavcodec's largest SIMD alignment (AVX-512), and the padding its default
// allocator adds after each plane for reads past the last pixel.
constexpr int kStrideAlign = 64;
constexpr std::size_t kPlanePadding = 16 + kStrideAlign - 1;

}  // namespace

FramePool::~FramePool() { release(); }

void FramePool::attach(AVCodecContext* context) {
  context->opaque = this;
  context->get_buffer2 = get_buffer;
#if FF_API_THREAD_SAFE_CALLBACKS
  // This libavcodec still asks a custom allocator to say that frame threads
  // may call it at once (it locks for itself), and warns each time a
  // context starts frame threads without it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  context->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
}

void FramePool::release() {
  // Pictures still out keep their buffers: each plane's pool is freed when
  // its last buffer comes back.
  for (AVBufferPool*& plane : planes_) av_buffer_pool_uninit(&plane);
  format_ = -1;
}

int FramePool::get_buffer(AVCodecContext* context, AVFrame* frame, int flags) {
  auto* pool = static_cast<FramePool*>(context->opaque);
  if (pool == nullptr || context->codec_type != AVMEDIA_TYPE_VIDEO || context->hw_frames_ctx != nullptr) {
    return avcodec_default_get_buffer2(context, frame, flags);
  }
  return pool->fill(context, frame);
}

int FramePool::fill(AVCodecContext* context, AVFrame* frame) {
  // Frame threads ask at once.
  std::lock_guard<std::mutex> lock(mutex_);
  if ((frame->format != format_ || frame->width != width_ || frame->height != height_) && !reshape(context, *frame)) {
    return AVERROR(ENOMEM);
  }
  int plane = 0;
  for (; plane < 4 && planes_[plane] != nullptr; ++plane) {
    frame->buf[plane] = av_buffer_pool_get(planes_[plane]);
    if (frame->buf[plane] == nullptr) {
      for (int given = 0; given < plane; ++given) av_buffer_unref(&frame->buf[given]);
      return AVERROR(ENOMEM);
    }
    frame->data[plane] = frame->buf[plane]->data;
    frame->linesize[plane] = linesize_[plane];
  }
  for (; plane < AV_NUM_DATA_POINTERS; ++plane) {
    frame->data[plane] = nullptr;
    frame->linesize[plane] = 0;
  }
  frame->extended_data = frame->data;
  return 0;
}

bool FramePool::reshape(AVCodecContext* context, const AVFrame& frame) {
  release();
  const auto format = static_cast<AVPixelFormat>(frame.format);
  if (av_pix_fmt_desc_get(format) == nullptr) return false;
  int width = frame.width;
  int height = frame.height;
  int align[AV_NUM_DATA_POINTERS] = {};
  avcodec_align_dimensions2(context, &width, &height, align);
  // Rows of every plane aligned as the codec wants them: the width grows by
  // its lowest set bit until they are (not each plane's rows padded alone,
  // which would break the planes' proportions).
  int linesize[4] = {};
  for (;;) {
    if (width <= 0 || av_image_fill_linesizes(linesize, format, width) < 0) return false;
    bool aligned = true;
    for (int i = 0; i < 4; ++i) aligned = aligned && (align[i] <= 0 || linesize[i] % align[i] == 0);
    if (aligned) break;
    width += width & ~(width - 1);
  }
  ptrdiff_t strides[4] = {};
  for (int i = 0; i < 4; ++i) strides[i] = linesize[i];
  size_t sizes[4] = {};
  if (av_image_fill_plane_sizes(sizes, format, height, strides) < 0) return false;
  for (int i = 0; i < 4 && sizes[i] > 0; ++i) {
    if (sizes[i] > SIZE_MAX - kPlanePadding) return false;
    planes_[i] = spare_plane_pool(sizes[i] + kPlanePadding);
    if (planes_[i] == nullptr) {
      release();
      return false;
    }
    linesize_[i] = linesize[i];
  }
  format_ = frame.format;
  width_ = frame.width;
  height_ = frame.height;
  return true;
}

}  // namespace kyme
