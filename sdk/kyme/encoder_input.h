// The picture a caller's frame describes, checked and copied out of host or
// device memory into a picture the encoder owns, converted to the layout
// the encoder takes when the caller's differs. Checking and copying are
// apart so that a channel copies only once it has room for the picture: a
// caller polling a full channel must not pay for a copy on every attempt.
#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include <array>
#include <cstdint>

#include "encoder_codec.h"
#include "kycore/device_memory.h"
#include "kyme.h"

namespace kyme {

// A caller's planes, found readable; device blocks are held until the copy.
struct SourcePicture {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  const uint8_t* planes[4] = {};
  int strides[4] = {};
  std::array<kycore::DeviceSpan, KYME_MAX_VIDEO_PLANE> keep;
  int64_t pts = 0;
};

// 0 with `*out` filled, KYME_UNSUPPORTED_FORMAT when the format, size or
// strides do not suit, KYME_INVALID_ARGUMENT when a plane is not readable
// memory.
uint32_t locate_picture(const kymeFrame& frame, const PictureEncoder& encoder, SourcePicture* out);

// A channel's converter and its pool of picture buffers: pictures of one
// size follow each other, and a fresh buffer each time costs page faults
// the encoder would otherwise not have.
class PictureBuffers {
 public:
  PictureBuffers() = default;
  ~PictureBuffers();
  PictureBuffers(const PictureBuffers&) = delete;
  PictureBuffers& operator=(const PictureBuffers&) = delete;

  // 0 with `*out` the copy, KYME_UNSUPPORTED_FORMAT, KYME_OUT_OF_MEMORY.
  uint32_t copy(const SourcePicture& source, const PictureEncoder& encoder, FramePtr* out);

 private:
  bool attach_buffer(AVFrame* picture);

  SwsContext* scaler_ = nullptr;
  AVBufferPool* pool_ = nullptr;  // buffers in use keep it until they return
  std::size_t pool_size_ = 0;
};

}  // namespace kyme
