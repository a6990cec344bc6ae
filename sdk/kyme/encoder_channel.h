// One encoder channel: its life cycle, the bounded queue of pictures copied
// from the caller, the worker thread that encodes them, and the coded units
// the caller receives and releases. Units live in guarded host blocks: once
// released, their pages stay inaccessible for a while, so a stale stream
// record is refused by range checks instead of reading freed memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "channel_life_cycle.h"
#include "channel_wait.h"
#include "encoder_codec.h"
#include "encoder_input.h"
#include "kyme.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace kyme {

// Pictures waiting for the worker.
constexpr std::size_t kInputPictures = 4;
// Coded units a channel holds (queued or received, not yet released) when
// outbufNum is 0.
constexpr uint32_t kDefaultOutputUnits = 8;

class EncoderChannel final : public ChannelLifeCycle {
 public:
  // `make`: a new codec of the channel's configuration (a second one serves
  // synchronous JPEG calls). `encoder`: the one opened when the channel was
  // created.
  using Factory = std::function<uint32_t(std::unique_ptr<PictureEncoder>*)>;
  EncoderChannel(const kymeEncChannelParameters& parameters, std::unique_ptr<PictureEncoder> encoder, Factory make);
  ~EncoderChannel() override;

  // The die and engine core the channel's work is charged to.
  void place(int32_t device, uint32_t core) {
    device_ = device;
    core_ = core;
  }
  uint32_t send(const kymeFrame& frame, const kymeEncExtendedParams* params, uint32_t timeout);
  uint32_t receive(kymeStream* stream, uint32_t timeout);
  uint32_t encode_jpeg_now(const kymeFrame& frame, kymeStream* stream, uint32_t timeout);
  uint32_t release(const kymeStream& stream);

  bool is_jpeg() const { return codec_ == KYME_CODEC_ENC_JPEG; }

 private:
  struct Unit;
  class WorkerSink;
  class HeldSink;
  struct Input {
    FramePtr picture;  // null: the end of the stream
    PictureRequest request;
  };

  uint32_t prepare_start() override;
  uint32_t rewind() override;
  void discard_undelivered() override;
  void wake_all() override;
  void run() override;
  std::size_t units_in_use() const { return output_.size() + held_.size() + pending_; }
  static std::unique_ptr<Unit> make_unit(const uint8_t* data, std::size_t size, int64_t pts);
  void hand_out(std::unique_ptr<Unit> unit, kymeStream* stream);

  const kymeCodecType codec_;
  const uint32_t capacity_;
  Factory make_;

  std::condition_variable input_space_;
  std::condition_variable input_ready_;
  std::condition_variable output_ready_;
  std::condition_variable output_room_;

  bool fresh_ = true;  // the codec has seen nothing since it was opened
  bool end_sent_ = false;
  bool end_reached_ = false;
  std::unique_ptr<PictureEncoder> encoder_;
  std::deque<Input> input_;
  std::size_t reserved_inputs_ = 0;  // places kept for pictures being copied
  std::deque<std::unique_ptr<Unit>> output_;
  std::unordered_map<const uint8_t*, std::unique_ptr<Unit>> held_;
  std::size_t pending_ = 0;  // units being made room for
  uint32_t result_ = 0;      // the last failure of the worker's codec
  int32_t device_ = 0;
  uint32_t core_ = 0;

  std::mutex input_mutex_;  // the converter and buffers of caller pictures
  PictureBuffers buffers_;

  std::mutex sync_mutex_;  // one synchronous JPEG encode at a time
  std::unique_ptr<PictureEncoder> sync_encoder_;
};

}  // namespace kyme
