// The deferred copy of a decoded picture: the same av_image_copy or
// yuv420p-to-NV12 pass the decoder makes when it writes a picture at once.
#include "deferred_picture.h"

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "kycore/device_memory.h"
#include "picture_format.h"

namespace kyme {
namespace {

class DeferredPicture final : public kycore::DeferredFill {
 public:
  DeferredPicture(AVFrame* frame, AVPixelFormat layout, const PictureTarget& target) : frame_(frame), layout_(layout) {
    for (int i = 0; i < 4; ++i) {
      offsets_[i] = target.planes[i] != nullptr ? target.planes[i] - target.backing.get() : -1;
      linesizes_[i] = target.linesizes[i];
    }
  }
  ~DeferredPicture() override { av_frame_free(&frame_); }
  DeferredPicture(const DeferredPicture&) = delete;
  DeferredPicture& operator=(const DeferredPicture&) = delete;

  void fill(uint8_t* block) noexcept override {
    uint8_t* planes[4] = {};
    for (int i = 0; i < 4; ++i) planes[i] = offsets_[i] >= 0 ? block + offsets_[i] : nullptr;
    copy_directly(frame_, layout_, planes, linesizes_);
  }

  bool nv12_source(kycore::PlanarPicture* source) const override {
    if (layout_ != AV_PIX_FMT_NV12 || frame_->format != AV_PIX_FMT_YUV420P || offsets_[0] != 0) return false;
    for (int i = 0; i < 3; ++i) {
      source->planes[i] = frame_->data[i];
      source->strides[i] = frame_->linesize[i];
    }
    source->width = frame_->width;
    source->height = frame_->height;
    source->luma_stride = static_cast<uint64_t>(linesizes_[0]);
    source->chroma_offset = static_cast<uint64_t>(offsets_[1]);
    return true;
  }

 private:
  AVFrame* frame_;
  AVPixelFormat layout_;
  std::ptrdiff_t offsets_[4] = {};  // of the target's planes from the block's start; -1 for none
  int linesizes_[4] = {};
};

}  // namespace

bool defer_picture(const AVFrame* frame, AVPixelFormat layout, const PictureTarget& target) {
  if (!copies_directly(static_cast<AVPixelFormat>(frame->format), layout) || target.address == nullptr ||
      !target.backing || frame->width <= 0 || frame->height <= 0) {
    return false;
  }
  // Every pixel of the codec's picture is written already: a new reference
  // to its buffers keeps them from being reused until the copy is made.
  AVFrame* kept = av_frame_clone(frame);
  if (kept == nullptr) return false;
  std::shared_ptr<kycore::DeferredFill> fill;
  try {
    fill = std::make_shared<DeferredPicture>(kept, layout, target);
  } catch (const std::bad_alloc&) {
    av_frame_free(&kept);
    return false;
  }
  return kycore::DeviceMemory::instance().defer_fill(target.address, target.backing, std::move(fill));
}

}  // namespace kyme
