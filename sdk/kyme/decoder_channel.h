// One decoder channel: its life cycle, the bounded queue of compressed input,
// the worker thread that decodes it, and the bounded pool of pictures in
// device memory that the worker fills and the caller receives and releases.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "channel_life_cycle.h"
#include "channel_wait.h"
#include "kycore/device_memory.h"
#include "kyme.h"
#include "picture_codec.h"
#include "picture_format.h"

namespace kyme {

// Pictures a channel may hold (decoded and not yet released) besides the
// caller's extraBufferNumber.
constexpr uint32_t kBasePictures = 4;
constexpr uint32_t kMaxExtraPictures = 64;
// Compressed input waiting for the worker: at most this many streams, and
// beyond one stream at most this many bytes.
constexpr std::size_t kInputQueueStreams = 16;
constexpr std::size_t kInputQueueBytes = 64u << 20;
// A caller waiting for pictures is woken when this many are ready, or when
// the worker stops with fewer (its input is used up, the pool is full, the
// stream ended): a busy decoder hands its pictures over in runs.
constexpr std::size_t kOutputRun = 4;
// The longest stream one send takes: a video access unit (or any cut of the
// bytes), or a whole JPEG file.
constexpr uint32_t kMaxVideoStream = KYME_DEC_MAX_STREAM_BUFFER_SIZE;
constexpr uint32_t kMaxJpegStream = 0x20000000;

// A video channel's thread setting that leaves the count to the channel:
// the processors shared among the video channels that have input at that
// moment.
constexpr int kAutomaticThreads = -1;
int automatic_decode_threads();
// Threads of a channel made with `enableMC`: the processors the process may
// run on, as many as an automatic count goes to.
int all_processors_threads();

class DecoderChannel final : public ChannelLifeCycle {
 public:
  // `threads`: libavcodec's threads for a video channel, or kAutomaticThreads.
  DecoderChannel(int32_t device, uint32_t core, const kymeDecChannelParameters& parameters, int threads);
  ~DecoderChannel() override;

  uint32_t send(const kymeStream& stream, uint32_t timeout);
  uint32_t receive(kymeFrame* output, const kymeDecOutputOptions* options, uint32_t timeout);
  uint32_t decode_jpeg_now(const kymeStream& stream, kymeFrame* output, uint32_t timeout);
  uint32_t transfer(kymeFrame* frame);
  uint32_t release(const kymeFrame& frame);
  uint32_t stream_info(kymeDecStreamInfo* info);
  void status(kymeDecStatus* status);

  bool is_jpeg() const { return parameters_.codecType == KYME_CODEC_DEC_JPEG; }

 private:
  struct Picture;
  class ChannelSink;
  class WorkerSink;
  class SyncSink;
  struct Input {
    std::vector<uint8_t> bytes;  // the stream, then kInputPadding zeros
    std::size_t size = 0;        // of the stream
    int64_t pts = 0;
    bool end = false;
  };

  uint32_t prepare_start() override;
  uint32_t rewind() override;
  void discard_undelivered() override;
  void wake_all() override;
  void run() override;
  std::unique_ptr<PictureCodec> make_codec() const;

  // Pool: a picture to write, waiting until the pool has room, `give_up()`
  // holds or `timeout` milliseconds pass (kWaitForever: no limit). Null with
  // `*refusal` the reason: KYME_TIMEOUT, KYME_WRONG_STATE (gave up),
  // KYME_UNSUPPORTED_STREAM, KYME_OUT_OF_MEMORY.
  Picture* acquire(std::unique_lock<std::mutex>& lock, kymePixelFormat format, AVPixelFormat layout, uint32_t width,
                   uint32_t height, const std::function<bool()>& give_up, uint32_t timeout, uint32_t* refusal);
  void give_back(Picture* picture);
  // Wakes a caller waiting for pictures when any are ready: the worker is
  // about to wait and add no more for a while (see kOutputRun).
  void hand_over_output();
  // Whether the input queue takes a stream of `size` bytes now (mutex_ held).
  bool input_has_room(std::size_t size) const;
  // A reset of the device frees the pool's blocks under the channel: such a
  // picture is never handed out.
  static bool block_gone(const Picture& picture);
  // Gives back held pictures whose blocks are gone, when the pool is full:
  // their holder may never release them.
  void reclaim_gone_pictures();
  void describe(Picture& picture, const PictureInfo& info);
  uint32_t host_copy(Picture& picture, kymeFrame* output);
  Picture* held(const kymeFrame& frame);

  const int32_t device_;
  const uint32_t core_;
  const kymeDecChannelParameters parameters_;
  const int threads_;
  const uint32_t pool_limit_;

  std::condition_variable input_space_;
  std::condition_variable input_ready_;
  std::condition_variable output_ready_;
  std::condition_variable pool_room_;

  bool end_sent_ = false;
  bool end_reached_ = false;  // the worker gave the last picture of the stream
  std::unique_ptr<PictureCodec> codec_;
  std::deque<Input> input_;
  std::size_t input_bytes_ = 0;
  std::deque<Picture*> output_;
  std::vector<std::unique_ptr<Picture>> pool_;
  std::unordered_map<uint64_t, Picture*> held_;
  std::size_t in_use_ = 0;  // pictures being written, queued or held
  uint64_t next_id_ = 1;

  std::mutex sync_mutex_;  // one synchronous JPEG decode at a time
  std::unique_ptr<PictureCodec> sync_codec_;

  // The status's result for a picture handed out (under mutex_).
  void handed_out(const Picture& picture);

  // Counters for status and stream information.
  uint32_t result_ = 0;
  uint32_t last_drop_ = 0;  // the code of the last picture dropped
  uint64_t sent_ = 0;
  uint64_t decoded_ = 0;
  uint64_t dropped_ = 0;
  kymeDecStreamInfo info_{};
};

}  // namespace kyme
