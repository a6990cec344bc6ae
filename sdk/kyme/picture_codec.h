// What a channel's worker drives: a codec that turns compressed bytes into
// pictures written straight into memory the channel hands out.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kyme.h"

namespace kyme {

// Bytes handed to a codec are followed by this many readable zero bytes:
// libavcodec's parser and bit readers read ahead of the data's end
// (AV_INPUT_BUFFER_PADDING_SIZE).
constexpr std::size_t kInputPadding = 64;

// Where a codec writes one picture: the planes of a packed block.
struct PictureTarget {
  uint8_t* planes[4] = {};
  int linesizes[4] = {};
  // The block in device memory, when the codec may leave its bytes to be
  // written when first read (kycore::DeviceMemory::defer_fill); null else.
  void* address = nullptr;
  std::shared_ptr<uint8_t> backing;
};

// What a codec knows about a picture once it is written.
struct PictureInfo {
  int64_t pts = 0;
  kymeFrameType type = KYME_FRM_I;
  kymeFrame::CropInfo crop{};
  uint32_t fps = 0;      // whole pictures per second the stream announces, 0 when it does not
  bool damaged = false;  // decoded whole, with damage concealed (data that ended early)
};

class PictureSink {
 public:
  virtual ~PictureSink() = default;
  // Memory for a picture, or null when the channel stops (or a synchronous
  // call's time-out passes) before a picture of the pool is free.
  virtual PictureTarget* acquire(kymePixelFormat format, AVPixelFormat layout, uint32_t width, uint32_t height) = 0;
  // Why the last acquire gave no memory: KYME_TIMEOUT, KYME_WRONG_STATE (the
  // channel stops), KYME_UNSUPPORTED_STREAM (no layout for the picture) or
  // KYME_OUT_OF_MEMORY.
  virtual uint32_t refusal() const = 0;
  virtual void commit(PictureTarget* target, const PictureInfo& info) = 0;
  virtual void abandon(PictureTarget* target) = 0;
  // A compressed picture went into the codec.
  virtual void picture_sent() = 0;
  // A broken picture was dropped; `code` says why.
  virtual void dropped(uint32_t code) = 0;
  virtual bool stopping() const = 0;
};

class PictureCodec {
 public:
  virtual ~PictureCodec() = default;
  // Decodes what `size` bytes complete (followed by kInputPadding zeros). Returns 0, or the code of the
  // failure that made it give up on these bytes.
  virtual uint32_t decode(const uint8_t* data, std::size_t size, int64_t pts, PictureSink& sink) = 0;
  // The end of the stream: gives every picture still inside.
  virtual void finish(PictureSink& sink) = 0;
  // Forgets everything of the stream so far.
  virtual void flush() = 0;
};

}  // namespace kyme
