// A decoder channel's queues, worker and picture pool. One mutex guards all
// of a channel's state; the codec runs outside it, so the caller can send
// and receive while the worker decodes.
#include "decoder_channel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>

#include "jpeg_decoder.h"
#include "kycore/busy_time.h"
#include "kycore/error_codes.h"
#include "kycore/processors.h"
#include "stream_bytes.h"
#include "video_decoder.h"

namespace kyme {

using namespace kycore;

namespace {

// Video channels of this process that have input to decode: their worker
// took some and, unless their queue ran dry since, has more to take. A
// channel started but given nothing (a die waiting for the next group of
// pictures) leaves the processors to the others.
std::atomic<int> busy_video_channels{0};

// Automatic threads stop here: beyond it frame threading adds pictures held
// in the codec more than it adds speed.
constexpr int kMaxAutomaticThreads = 8;
// How long a video channel without input still counts as busy.
constexpr std::chrono::milliseconds kBusyPause{50};

// The worker's own entry in busy_video_channels.
class BusyMark {
 public:
  explicit BusyMark(bool counts) : counts_(counts) {}
  ~BusyMark() { set(false); }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;

  void set(bool busy) {
    if (!counts_ || busy == busy_) return;
    busy_ = busy;
    if (busy) {
      ++busy_video_channels;
    } else {
      --busy_video_channels;
    }
  }

 private:
  const bool counts_;
  bool busy_ = false;
};

}  // namespace

int automatic_decode_threads() {
  const int busy = std::max(1, busy_video_channels.load());
  return std::clamp(usable_processors() / busy, 1, kMaxAutomaticThreads);
}

int all_processors_threads() { return std::clamp(usable_processors(), 1, kMaxAutomaticThreads); }

struct DecoderChannel::Picture {
  uint64_t id = 0;
  void* address = nullptr;  // start of the device block
  DeviceSpan span;          // its host backing, written by the worker
  uint64_t capacity = 0;
  std::unique_ptr<uint8_t[]> host;  // the host copy, from transfer until release
  uint64_t host_capacity = 0;
  PictureLayout layout;
  kymePixelFormat format = KYME_PIX_FMT_NONE;
  uint32_t width = 0;
  uint32_t height = 0;
  bool damaged = false;  // decoded with damage concealed
  PictureTarget target;
  kymeFrame frame{};  // the picture as it lies in device memory
};

// What every sink of a channel does alike: give back a picture the codec
// abandoned, count pictures sent and dropped.
class DecoderChannel::ChannelSink : public PictureSink {
 public:
  explicit ChannelSink(DecoderChannel& channel) : channel_(channel) {}

  void abandon(PictureTarget* /*target*/) override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    channel_.give_back(current_);
    current_ = nullptr;
  }

  void picture_sent() override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    ++channel_.sent_;
  }

  void dropped(uint32_t code) override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    ++channel_.dropped_;
    channel_.last_drop_ = code;
    // The warning of a damaged picture handed out stays until the next one.
    if (channel_.result_ != KYME_WARN_DAMAGED) channel_.result_ = code;
  }

  uint32_t refusal() const override { return refusal_; }

 protected:
  DecoderChannel& channel_;
  Picture* current_ = nullptr;
  uint32_t refusal_ = OK;
};

// How the worker's codec reaches the pool and the output queue.
class DecoderChannel::WorkerSink final : public ChannelSink {
 public:
  // The sink lives for one piece of input: the channel's decoder is busy
  // meanwhile, except while it waits for the caller to release pictures.
  explicit WorkerSink(DecoderChannel& channel)
      : ChannelSink(channel), busy_(channel.device_, kycore::Engine::decoder, channel.core_) {}

  PictureTarget* acquire(kymePixelFormat format, AVPixelFormat layout, uint32_t width, uint32_t height) override {
    std::unique_lock<std::mutex> lock(channel_.mutex_);
    busy_.pause();
    current_ = channel_.acquire(
        lock, format, layout, width, height, [this] { return channel_.quit_; }, kWaitForever, &refusal_);
    busy_.resume();
    return current_ != nullptr ? &current_->target : nullptr;
  }

  void commit(PictureTarget* /*target*/, const PictureInfo& info) override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    channel_.describe(*current_, info);
    channel_.output_.push_back(current_);
    current_ = nullptr;
    // Near the end of a stream each picture goes at once: the caller, a run
    // behind, would otherwise finish after the decoder by a run.
    const bool ending = channel_.end_sent_ && channel_.input_.size() < kOutputRun;
    if (channel_.output_.size() >= kOutputRun || ending) channel_.output_ready_.notify_all();
  }

  bool stopping() const override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    return channel_.quit_;
  }

 private:
  kycore::BusyScope busy_;
};

// A synchronous JPEG decode: the picture goes straight to the caller.
class DecoderChannel::SyncSink final : public ChannelSink {
 public:
  SyncSink(DecoderChannel& channel, uint32_t timeout) : ChannelSink(channel), timeout_(timeout) {}

  PictureTarget* acquire(kymePixelFormat format, AVPixelFormat layout, uint32_t width, uint32_t height) override {
    std::unique_lock<std::mutex> lock(channel_.mutex_);
    current_ = channel_.acquire(
        lock, format, layout, width, height, [this] { return channel_.state_ != KYME_ST_RUNNING; }, timeout_,
        &refusal_);
    return current_ != nullptr ? &current_->target : nullptr;
  }

  void commit(PictureTarget* /*target*/, const PictureInfo& info) override {
    std::lock_guard<std::mutex> lock(channel_.mutex_);
    if (block_gone(*current_)) {
      // A reset of the device freed the picture while it was written.
      channel_.give_back(current_);
      current_ = nullptr;
      return;
    }
    channel_.describe(*current_, info);
    channel_.held_.emplace(current_->id, current_);
    result_ = current_;
    current_ = nullptr;
  }

  bool stopping() const override { return false; }

  Picture* result() const { return result_; }

 private:
  uint32_t timeout_;
  Picture* result_ = nullptr;
};

DecoderChannel::DecoderChannel(int32_t device, uint32_t core, const kymeDecChannelParameters& parameters, int threads)
    : device_(device),
      core_(core),
      parameters_(parameters),
      threads_(threads),
      pool_limit_(kBasePictures + parameters.extraBufferNumber) {}

DecoderChannel::~DecoderChannel() {
  close();
  // Blocks a device reset freed are not this channel's any more: their
  // addresses may belong to new blocks.
  for (const auto& picture : pool_) {
    if (picture->address != nullptr) {
      DeviceMemory::instance().release(picture->address, BlockOwner::media, picture->span.keep);
    }
  }
}

std::unique_ptr<PictureCodec> DecoderChannel::make_codec() const {
  if (is_jpeg()) return make_jpeg_codec(parameters_.pixelFormat);
  const int setting = threads_;
  return make_video_codec(parameters_.codecType, parameters_.pixelFormat, parameters_.decodeMode,
                          [setting] { return setting == kAutomaticThreads ? automatic_decode_threads() : setting; });
}

void DecoderChannel::wake_all() {
  input_ready_.notify_all();
  input_space_.notify_all();
  output_ready_.notify_all();
  pool_room_.notify_all();
}

void DecoderChannel::hand_over_output() {
  if (!output_.empty()) output_ready_.notify_all();
}

void DecoderChannel::discard_undelivered() {
  input_.clear();
  input_bytes_ = 0;
  for (Picture* picture : output_) give_back(picture);
  output_.clear();
  end_sent_ = false;
  end_reached_ = false;
  input_space_.notify_all();
}

uint32_t DecoderChannel::prepare_start() {
  auto codec = make_codec();
  if (!codec) return KYME_OUT_OF_MEMORY;
  codec_ = std::move(codec);
  return OK;
}

uint32_t DecoderChannel::rewind() {
  if (codec_) codec_->flush();
  result_ = 0;
  last_drop_ = 0;
  return OK;
}

void DecoderChannel::run() {
  // A channel just started, or between two streams (the end of one, a
  // reset, the next one's first bytes), counts as busy for a moment: other
  // channels starting their streams then would take its processors, and
  // change their thread count (opening their decoder anew) each time it
  // paused. Channels started together so share the processors from the
  // first picture.
  BusyMark busy(!is_jpeg());
  busy.set(true);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto has_input = [this] { return quit_ || !input_.empty(); };
  for (;;) {
    if (input_.empty()) {
      hand_over_output();
      if (!input_ready_.wait_for(lock, kBusyPause, has_input)) busy.set(false);
    }
    input_ready_.wait(lock, has_input);
    if (quit_) return;
    busy.set(true);
    Input input = std::move(input_.front());
    input_.pop_front();
    input_bytes_ -= input.size;
    input_space_.notify_all();
    lock.unlock();
    WorkerSink sink(*this);
    if (input.end) {
      codec_->finish(sink);
    } else {
      codec_->decode(input.bytes.data(), input.size, input.pts, sink);
    }
    lock.lock();
    if (input.end && !quit_) {
      end_reached_ = true;
      output_ready_.notify_all();
    }
  }
}

bool DecoderChannel::input_has_room(std::size_t size) const {
  return input_.size() < kInputQueueStreams && (input_.empty() || input_bytes_ + size <= kInputQueueBytes);
}

uint32_t DecoderChannel::send(const kymeStream& stream, uint32_t timeout) {
  const uint32_t limit = is_jpeg() ? kMaxJpegStream : kMaxVideoStream;
  if (stream.length > limit || (stream.length > 0 && stream.data == nullptr)) return KYME_INVALID_ARGUMENT;
  Input input;
  input.pts = stream.pts;
  input.end = stream.length == 0;
  if (!input.end) {
    DeviceSpan keep;
    const uint8_t* bytes = stream_bytes(stream, &keep);
    if (bytes == nullptr) return KYME_INVALID_ARGUMENT;
    if (timeout == 0) {
      // A caller that polls finds the queue full most of the time while the
      // decoder keeps up with it: the stream is copied once it has room, not
      // again at every try.
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == KYME_ST_RUNNING && !end_sent_ && !input_has_room(stream.length)) return KYME_TIMEOUT;
    }
    // Copied before waiting: the caller may reuse its buffer once this returns.
    input.bytes.reserve(stream.length + kInputPadding);
    input.bytes.assign(bytes, bytes + stream.length);
    input.bytes.resize(stream.length + kInputPadding, 0);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  if (end_sent_) return kymeER_RSLT_WARN_EOS;
  const std::size_t size = stream.length;
  input.size = size;
  const bool room =
      wait_for(lock, input_space_, timeout, [&] { return state_ != KYME_ST_RUNNING || input_has_room(size); });
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  if (!room) return KYME_TIMEOUT;
  end_sent_ = input.end;
  input_bytes_ += size;
  input_.push_back(std::move(input));
  input_ready_.notify_one();
  return OK;
}

uint32_t DecoderChannel::receive(kymeFrame* output, const kymeDecOutputOptions* options, uint32_t timeout) {
  if (output == nullptr) return KYME_INVALID_ARGUMENT;
  const bool to_host = options != nullptr && options->memoryType == KYME_MEM_HOST;
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  const bool ready = wait_for(lock, output_ready_, timeout, [this] {
    // Pictures a device reset freed are dropped before they reach the caller.
    while (!output_.empty() && block_gone(*output_.front())) {
      give_back(output_.front());
      output_.pop_front();
      ++dropped_;
    }
    reclaim_gone_pictures();
    return state_ != KYME_ST_RUNNING || !output_.empty() || end_reached_;
  });
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  if (!output_.empty()) {
    Picture* picture = output_.front();
    // Without its host copy the picture stays first in line.
    if (to_host && host_copy(*picture, output) != OK) return KYME_OUT_OF_MEMORY;
    output_.pop_front();
    held_.emplace(picture->id, picture);
    handed_out(*picture);
    if (!to_host) *output = picture->frame;
    return OK;
  }
  if (end_reached_) return kymeER_RSLT_WARN_EOS;
  return ready ? KYME_WRONG_STATE : KYME_TIMEOUT;
}

uint32_t DecoderChannel::decode_jpeg_now(const kymeStream& stream, kymeFrame* output, uint32_t timeout) {
  if (output == nullptr || !is_jpeg()) return KYME_INVALID_ARGUMENT;
  if (stream.length == 0 || stream.data == nullptr || stream.length > kMaxJpegStream) return KYME_INVALID_ARGUMENT;
  DeviceSpan keep;
  const uint8_t* bytes = stream_bytes(stream, &keep);
  if (bytes == nullptr) return KYME_INVALID_ARGUMENT;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  }
  std::lock_guard<std::mutex> one_at_a_time(sync_mutex_);
  if (!sync_codec_) sync_codec_ = make_jpeg_codec(parameters_.pixelFormat);
  SyncSink sink(*this, timeout);
  const kycore::BusyScope busy(device_, kycore::Engine::decoder, core_);
  const uint32_t code = sync_codec_->decode(bytes, stream.length, stream.pts, sink);
  if (code != 0) return code;
  std::lock_guard<std::mutex> lock(mutex_);
  Picture* picture = sink.result();
  // No result: the channel stopped, or a reset of the device took the picture's memory.
  if (picture == nullptr) return state_ != KYME_ST_RUNNING ? KYME_WRONG_STATE : KYME_OUT_OF_MEMORY;
  if (held_.count(picture->id) == 0) return KYME_WRONG_STATE;
  handed_out(*picture);
  *output = picture->frame;
  return OK;
}

void DecoderChannel::handed_out(const Picture& picture) {
  // The status tells, until the next picture is handed out, whether this
  // one was decoded with damage concealed; otherwise it keeps the code of
  // the last picture dropped.
  result_ = picture.damaged ? KYME_WARN_DAMAGED : last_drop_;
}

DecoderChannel::Picture* DecoderChannel::held(const kymeFrame& frame) {
  const auto found = held_.find(reinterpret_cast<uint64_t>(frame.privateData));
  return found != held_.end() ? found->second : nullptr;
}

uint32_t DecoderChannel::transfer(kymeFrame* frame) {
  if (frame == nullptr) return KYME_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(mutex_);
  Picture* picture = held(*frame);
  if (picture == nullptr) return KYME_UNKNOWN_FRAME;
  if (block_gone(*picture)) {
    // A reset of the device released it: there is nothing to copy.
    held_.erase(picture->id);
    give_back(picture);
    return KYME_UNKNOWN_FRAME;
  }
  return host_copy(*picture, frame);
}

uint32_t DecoderChannel::release(const kymeFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  Picture* picture = held(frame);
  if (picture == nullptr) return KYME_UNKNOWN_FRAME;
  held_.erase(picture->id);
  give_back(picture);
  return OK;
}

uint32_t DecoderChannel::host_copy(Picture& picture, kymeFrame* output) {
  const uint64_t size = picture.layout.size;
  if (picture.host_capacity < size) {
    picture.host.reset(new (std::nothrow) uint8_t[size]);
    picture.host_capacity = picture.host ? size : 0;
    if (!picture.host) return KYME_OUT_OF_MEMORY;
  }
  // The picture's bytes, if the codec left them for later, are written first.
  if (DeviceMemory::instance().resolve(picture.address, size).data == nullptr) return KYME_UNKNOWN_FRAME;
  std::memcpy(picture.host.get(), picture.span.data, size);
  kymeFrame host = picture.frame;
  for (uint32_t i = 0; i < picture.layout.planes; ++i) host.data[i] = picture.host.get() + picture.layout.offset[i];
  host.memoryType = KYME_MEM_HOST;
  *output = host;
  return OK;
}

DecoderChannel::Picture* DecoderChannel::acquire(std::unique_lock<std::mutex>& lock, kymePixelFormat format,
                                                 AVPixelFormat layout, uint32_t width, uint32_t height,
                                                 const std::function<bool()>& give_up, uint32_t timeout,
                                                 uint32_t* refusal) {
  PictureLayout shape;
  if (!layout_picture(layout, width, height, &shape)) {
    *refusal = KYME_UNSUPPORTED_STREAM;
    return nullptr;
  }
  reclaim_gone_pictures();
  if (in_use_ >= pool_limit_) hand_over_output();
  const bool room = wait_for(lock, pool_room_, timeout, [&] { return give_up() || in_use_ < pool_limit_; });
  if (give_up()) {
    *refusal = KYME_WRONG_STATE;
    return nullptr;
  }
  if (!room) {
    *refusal = KYME_TIMEOUT;
    return nullptr;
  }
  // A free picture whose block is large enough, else any free one, else a new one.
  Picture* picture = nullptr;
  for (const auto& candidate : pool_) {
    if (candidate->id != 0) continue;
    if (candidate->capacity >= shape.size) {
      picture = candidate.get();
      break;
    }
    if (picture == nullptr) picture = candidate.get();
  }
  if (picture == nullptr) {
    pool_.push_back(std::make_unique<Picture>());
    picture = pool_.back().get();
  }
  if (picture->capacity < shape.size || block_gone(*picture)) {
    DeviceMemory& memory = DeviceMemory::instance();
    if (picture->address != nullptr) memory.release(picture->address, BlockOwner::media, picture->span.keep);
    picture->address = nullptr;
    picture->span = {};
    picture->capacity = 0;
    void* address = nullptr;
    if (memory.allocate(device_, shape.size, BlockOwner::media, &address) != OK) {
      *refusal = KYME_OUT_OF_MEMORY;
      return nullptr;
    }
    DeviceSpan span = memory.resolve(address, shape.size);
    if (span.data == nullptr) {  // a reset of the device took it already
      *refusal = KYME_OUT_OF_MEMORY;
      return nullptr;
    }
    picture->address = address;
    picture->span = std::move(span);
    picture->capacity = shape.size;
  }
  picture->id = next_id_++;
  picture->layout = shape;
  picture->format = format;
  picture->width = width;
  picture->height = height;
  picture->target = {};
  for (uint32_t i = 0; i < shape.planes; ++i) {
    picture->target.planes[i] = picture->span.data + shape.offset[i];
    picture->target.linesizes[i] = static_cast<int>(shape.stride[i]);
  }
  picture->target.address = picture->address;
  picture->target.backing = picture->span.keep;
  ++in_use_;
  return picture;
}

bool DecoderChannel::block_gone(const Picture& picture) {
  return picture.address != nullptr && !DeviceMemory::instance().holds(picture.address, picture.span.keep);
}

void DecoderChannel::reclaim_gone_pictures() {
  if (in_use_ < pool_limit_) return;
  for (auto it = held_.begin(); it != held_.end();) {
    if (block_gone(*it->second)) {
      give_back(it->second);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

void DecoderChannel::give_back(Picture* picture) {
  if (picture == nullptr) return;
  // A picture released unread is never copied out of the codec.
  if (picture->address != nullptr) DeviceMemory::instance().defer_fill(picture->address, picture->span.keep, nullptr);
  picture->id = 0;
  // The host copy is the caller's until release; it is not kept.
  picture->host.reset();
  picture->host_capacity = 0;
  --in_use_;
  pool_room_.notify_all();
}

void DecoderChannel::describe(Picture& picture, const PictureInfo& info) {
  kymeFrame frame{};
  auto* base = static_cast<uint8_t*>(picture.address);
  for (uint32_t i = 0; i < picture.layout.planes; ++i) {
    frame.data[i] = base + picture.layout.offset[i];
    frame.busAddress[i] = reinterpret_cast<uint64_t>(base) + picture.layout.offset[i];
    frame.stride[i] = picture.layout.stride[i];
  }
  frame.dataSize = static_cast<uint32_t>(picture.layout.size);
  frame.width = picture.width;
  frame.height = picture.height;
  frame.pts = info.pts;
  frame.memoryType = KYME_MEM_DEVICE;
  frame.field = KYME_FLD_FRAME;
  frame.pixelFormat = picture.format;
  frame.frameType = info.type;
  frame.cropInfo = info.crop;
  if (frame.cropInfo.width == 0) {
    frame.cropInfo.width = picture.width;
    frame.cropInfo.height = picture.height;
  }
  // The picture's identity, not an address: release and transfer find the
  // picture by it, and a released picture's number is never used again.
  frame.privateData = reinterpret_cast<void*>(picture.id);
  picture.frame = frame;
  picture.damaged = info.damaged;
  ++decoded_;
  info_.width = picture.width;
  info_.height = picture.height;
  info_.fps = info.fps;
  info_.pixelSize = frame.dataSize;
}

uint32_t DecoderChannel::stream_info(kymeDecStreamInfo* info) {
  if (info == nullptr) return KYME_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(mutex_);
  if (info_.width == 0) return kymeER_RSLT_WARN_MORE_DATA;
  *info = info_;
  return OK;
}

void DecoderChannel::status(kymeDecStatus* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  kymeDecStatus s{};
  s.state = state_;
  s.hardwareID = kymeHardwareID{device_, static_cast<int32_t>(core_)};
  s.result = result_;
  const auto clamp = [](uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); };
  s.runningFrames = clamp(decoded_);
  s.reorderedFrames = clamp(sent_ > decoded_ + dropped_ ? sent_ - decoded_ - dropped_ : 0);
  s.bufferedFrames = clamp(output_.size());
  s.droppedFrames = clamp(dropped_);
  *status = s;
}

}  // namespace kyme
