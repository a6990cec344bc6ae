// Picture buffers for libavcodec that outlive its contexts. A video channel
// opens its context anew when its thread count changes and flushes it
// between streams; with libavcodec's own pool, which lives in the context,
// every new context allocated, zeroed and faulted in a new set of
// full-size pictures.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstddef>
#include <mutex>

namespace kyme {

class FramePool {
 public:
  FramePool() = default;
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // Makes `context` (and the frame threads it starts) take its pictures from
  // this pool. The pool must outlive the context; pictures handed out may
  // outlive both.
  void attach(AVCodecContext* context);

 private:
  static int get_buffer(AVCodecContext* context, AVFrame* frame, int flags);
  int fill(AVCodecContext* context, AVFrame* frame);
  bool reshape(AVCodecContext* context, const AVFrame& frame);
  void release();

  std::mutex mutex_;
  int format_ = -1;
  int width_ = 0;
  int height_ = 0;
  int linesize_[4] = {};
  AVBufferPool* planes_[4] = {};
};

}  // namespace kyme
