// An encoder channel's queues, worker and coded units. One mutex guards the
// channel's state; pictures are copied and encoded outside it, so the
// caller can send and receive while the worker encodes.
#include "encoder_channel.h"

#include <cstring>

#include "encoder_input.h"
#include "kycore/busy_time.h"
#include "kycore/error_codes.h"
#include "kycore/guarded_memory.h"

namespace kyme {

using namespace kycore;

struct EncoderChannel::Unit {
  uint8_t* data = nullptr;
  std::size_t size = 0;
  bool guarded = false;
  int64_t pts = 0;
  ~Unit() {
    if (data != nullptr) release_guarded_block(data, size, guarded);
  }
};

std::unique_ptr<EncoderChannel::Unit> EncoderChannel::make_unit(const uint8_t* data, std::size_t size, int64_t pts) {
  auto unit = std::make_unique<Unit>();
  if (size == 0 || size > UINT32_MAX) return nullptr;
  unit->data = static_cast<uint8_t*>(allocate_guarded_block(size, &unit->guarded));
  if (unit->data == nullptr) return nullptr;
  std::memcpy(unit->data, data, size);
  unit->size = size;
  unit->pts = pts;
  return unit;
}

// The worker's units go to the output queue, waiting for room there.
class EncoderChannel::WorkerSink final : public UnitSink {
 public:
  // The sink lives for one picture: the channel's encoder is busy meanwhile,
  // except while it waits for the caller to take streams.
  explicit WorkerSink(EncoderChannel& channel)
      : channel_(channel), busy_(channel.device_, kycore::Engine::encoder, channel.core_) {}

  bool put(const uint8_t* data, std::size_t size, int64_t pts) override {
    std::unique_ptr<Unit> unit = make_unit(data, size, pts);
    std::unique_lock<std::mutex> lock(channel_.mutex_);
    if (!unit) {
      channel_.result_ = KYME_OUT_OF_MEMORY;
      return !channel_.quit_;
    }
    ++channel_.pending_;
    busy_.pause();
    channel_.output_room_.wait(lock,
                               [this] { return channel_.quit_ || channel_.units_in_use() <= channel_.capacity_; });
    busy_.resume();
    --channel_.pending_;
    if (channel_.quit_) return false;
    channel_.output_.push_back(std::move(unit));
    channel_.output_ready_.notify_all();
    return true;
  }

 private:
  EncoderChannel& channel_;
  kycore::BusyScope busy_;
};

// A synchronous encode keeps its one unit for the caller.
class EncoderChannel::HeldSink final : public UnitSink {
 public:
  bool put(const uint8_t* data, std::size_t size, int64_t pts) override {
    unit = make_unit(data, size, pts);
    return true;
  }
  std::unique_ptr<Unit> unit;
};

EncoderChannel::EncoderChannel(const kymeEncChannelParameters& parameters, std::unique_ptr<PictureEncoder> encoder,
                               Factory make)
    : codec_(parameters.codecType),
      capacity_(parameters.outbufNum != 0 ? parameters.outbufNum : kDefaultOutputUnits),
      make_(std::move(make)),
      encoder_(std::move(encoder)) {}

EncoderChannel::~EncoderChannel() { close(); }

void EncoderChannel::wake_all() {
  input_ready_.notify_all();
  input_space_.notify_all();
  output_ready_.notify_all();
  output_room_.notify_all();
}

void EncoderChannel::discard_undelivered() {
  input_.clear();
  output_.clear();
  end_sent_ = false;
  end_reached_ = false;
  input_space_.notify_all();
  output_room_.notify_all();
}

// A codec that has seen pictures is opened afresh, so a new stream starts
// with its parameter sets.
uint32_t EncoderChannel::prepare_start() {
  if (fresh_) return OK;
  const uint32_t code = encoder_->restart();
  if (code == OK) fresh_ = true;
  return code;
}

uint32_t EncoderChannel::rewind() {
  result_ = 0;
  return prepare_start();
}

void EncoderChannel::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    input_ready_.wait(lock, [this] { return quit_ || !input_.empty(); });
    if (quit_) return;
    Input input = std::move(input_.front());
    input_.pop_front();
    input_space_.notify_all();
    fresh_ = false;
    lock.unlock();
    WorkerSink sink(*this);
    const bool end = !input.picture;
    const uint32_t code = end ? encoder_->finish(sink) : encoder_->encode(input.picture.get(), input.request, sink);
    input.picture.reset();
    lock.lock();
    if (code != OK) result_ = code;
    if (end && !quit_) {
      end_reached_ = true;
      output_ready_.notify_all();
    }
  }
}

uint32_t EncoderChannel::send(const kymeFrame& frame, const kymeEncExtendedParams* params, uint32_t timeout) {
  Input input;
  SourcePicture source;
  const bool end = frame.dataSize == 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
    if (end_sent_) return kymeER_RSLT_WARN_EOS;
  }
  if (!end) {
    const uint32_t checked = encoder_->check(params, &input.request);
    if (checked != OK) return checked;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const bool room = wait_for(lock, input_space_, timeout, [&] {
    return state_ != KYME_ST_RUNNING || input_.size() + reserved_inputs_ < kInputPictures;
  });
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  if (end_sent_) return kymeER_RSLT_WARN_EOS;
  if (!room) return KYME_TIMEOUT;
  if (!end) {
    // Read once there is room, and before returning: the caller may reuse
    // its picture once this returns. A caller polling a full channel pays
    // neither the check of its memory nor the copy on every attempt. The
    // place is kept meanwhile.
    ++reserved_inputs_;
    lock.unlock();
    uint32_t copied = locate_picture(frame, *encoder_, &source);
    if (copied == OK) {
      std::lock_guard<std::mutex> converting(input_mutex_);
      copied = buffers_.copy(source, *encoder_, &input.picture);
    }
    lock.lock();
    --reserved_inputs_;
    input_space_.notify_all();
    if (copied != OK) return copied;
    if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
    if (end_sent_) return kymeER_RSLT_WARN_EOS;
  }
  end_sent_ = end;
  input_.push_back(std::move(input));
  input_ready_.notify_one();
  return OK;
}

void EncoderChannel::hand_out(std::unique_ptr<Unit> unit, kymeStream* stream) {
  kymeStream out{};
  out.data = unit->data;
  out.length = static_cast<uint32_t>(unit->size);
  out.pts = unit->pts;
  held_.emplace(unit->data, std::move(unit));
  *stream = out;
}

uint32_t EncoderChannel::receive(kymeStream* stream, uint32_t timeout) {
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  const bool ready = wait_for(lock, output_ready_, timeout,
                              [this] { return state_ != KYME_ST_RUNNING || !output_.empty() || end_reached_; });
  if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
  if (!output_.empty()) {
    std::unique_ptr<Unit> unit = std::move(output_.front());
    output_.pop_front();
    hand_out(std::move(unit), stream);
    return OK;
  }
  if (end_reached_) return kymeER_RSLT_WARN_EOS;
  return ready ? KYME_WRONG_STATE : KYME_TIMEOUT;
}

uint32_t EncoderChannel::encode_jpeg_now(const kymeFrame& frame, kymeStream* stream, uint32_t timeout) {
  if (stream == nullptr || !is_jpeg()) return KYME_INVALID_ARGUMENT;
  if (frame.dataSize == 0) return KYME_INVALID_ARGUMENT;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
    ++pending_;
    const bool room = wait_for(lock, output_room_, timeout,
                               [this] { return state_ != KYME_ST_RUNNING || units_in_use() <= capacity_; });
    --pending_;
    if (state_ != KYME_ST_RUNNING) return KYME_WRONG_STATE;
    if (!room) return KYME_TIMEOUT;
  }
  std::lock_guard<std::mutex> one_at_a_time(sync_mutex_);
  if (!sync_encoder_) {
    const uint32_t made = make_(&sync_encoder_);
    if (made != OK) return made;
  }
  SourcePicture source;
  const uint32_t located = locate_picture(frame, *sync_encoder_, &source);
  if (located != OK) return located;
  FramePtr picture;
  {
    std::lock_guard<std::mutex> converting(input_mutex_);
    const uint32_t copied = buffers_.copy(source, *sync_encoder_, &picture);
    if (copied != OK) return copied;
  }
  HeldSink sink;
  const kycore::BusyScope busy(device_, kycore::Engine::encoder, core_);
  const uint32_t code = sync_encoder_->encode(picture.get(), PictureRequest{}, sink);
  if (code != OK) return code;
  if (!sink.unit) return KYME_OUT_OF_MEMORY;
  std::lock_guard<std::mutex> lock(mutex_);
  hand_out(std::move(sink.unit), stream);
  return OK;
}

uint32_t EncoderChannel::release(const kymeStream& stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = held_.find(stream.data);
  if (found == held_.end() || found->second->size != stream.length) return KYME_UNKNOWN_STREAM;
  held_.erase(found);
  output_room_.notify_all();
  return OK;
}

}  // namespace kyme
