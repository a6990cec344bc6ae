// What an encoder channel's worker drives: a codec that turns pictures
// (already copied out of the caller's memory) into coded units.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kyme.h"

namespace kyme {

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// A region whose quantisation changes by `delta` QP; pixels, right and
// bottom exclusive.
struct RegionDelta {
  int top = 0, left = 0, bottom = 0, right = 0;
  int delta = 0;
};

// What a picture's extended parameters ask of the codec, once checked.
struct PictureRequest {
  bool idr = false;      // forceIDR or resetStream
  int64_t bit_rate = 0;  // the new target from this picture on, 0: unchanged
  std::vector<RegionDelta> regions;
};

class UnitSink {
 public:
  virtual ~UnitSink() = default;
  // One coded unit; false when the channel stops before it takes it.
  virtual bool put(const uint8_t* data, std::size_t size, int64_t pts) = 0;
};

class PictureEncoder {
 public:
  virtual ~PictureEncoder() = default;
  // The layout and size of the pictures encode() takes.
  virtual AVPixelFormat format() const = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // Whether a caller's picture of `format` is taken (converted if need be).
  virtual bool accepts(kymePixelFormat format) const = 0;
  // Checks a picture's extended parameters (null: none); 0 or a code.
  virtual uint32_t check(const kymeEncExtendedParams* params, PictureRequest* request) const = 0;
  // 0, or the code of the failure that lost this picture.
  virtual uint32_t encode(AVFrame* picture, const PictureRequest& request, UnitSink& sink) = 0;
  // The end of the stream: gives every unit still inside, then is ready for
  // a new stream.
  virtual uint32_t finish(UnitSink& sink) = 0;
  // Forgets the stream so far.
  virtual uint32_t restart() = 0;
};

}  // namespace kyme
