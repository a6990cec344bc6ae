// The encoder's C interface: channel numbers, the checks of the channel
// parameters, and the life cycle of each channel.
//
// Channel numbers run device after device, as for the decoder: device d has
// max(encode_channels, jpeg_encode_channels) numbers; a video channel may be
// created on the first encode_channels of them, a JPEG channel on the first
// jpeg_encode_channels.
//
// This build keeps the channels' life cycle but has no encoding yet: sending,
// receiving, synchronous JPEG encoding and releasing return
// KYCM_NOT_IMPLEMENTED on a valid channel, so a caller learns it at once
// rather than waiting for output that never comes.
#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "decoder_registry.h"
#include "kycore/error_codes.h"
#include "kycore/export.h"
#include "kycore/platform.h"
#include "kycore/test_control.h"
#include "kyme.h"

using namespace kycore;

namespace kyme {
namespace {

struct EncoderChannel {
  kymeCodecType codec;
  kymeState state = KYME_ST_READY;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<uint32_t, EncoderChannel> channels;
};

Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

struct Slot {
  uint32_t core = 0;
  uint32_t video = 0;
  uint32_t jpeg = 0;
};

uint64_t numbers_of(const DieConfig* die) { return std::max(die->encode_channels, die->jpeg_encode_channels); }

bool locate(uint32_t channel, Slot* slot) {
  const auto platform = current_platform();
  uint64_t base = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) {
    const DieConfig* die = platform->device(d);
    if (channel < base + numbers_of(die)) {
      *slot = Slot{static_cast<uint32_t>(channel - base), die->encode_channels, die->jpeg_encode_channels};
      return true;
    }
    base += numbers_of(die);
  }
  return false;
}

bool unsigned_in(uint32_t value, uint32_t low, uint32_t high) { return value >= low && value <= high; }

bool valid_video(const kymeEncVideoConfiguration& v) {
  return unsigned_in(v.width, KYME_ENC_VIDEO_MIN_WIDTH, KYME_ENC_VIDEO_MAX_WIDTH) &&
         unsigned_in(v.height, KYME_ENC_VIDEO_MIN_HEIGHT, KYME_ENC_VIDEO_MAX_HEIGHT) && v.width % 2 == 0 &&
         v.height % 2 == 0 && v.frameRate.numerator != 0 && v.frameRate.denominator != 0;
}

bool valid_jpeg(const kymeEncJPEGConfiguration& j) {
  return unsigned_in(j.codingWidth, KYME_ENC_JPEG_MIN_WIDTH, KYME_ENC_JPEG_MAX_WIDTH) &&
         unsigned_in(j.codingHeight, KYME_ENC_JPEG_MIN_HEIGHT, KYME_ENC_JPEG_MAX_HEIGHT) &&
         (j.userDataLength == 0 || j.userData != nullptr);
}

// Runs `call(channel)` on the channel numbered `number`, under the registry's lock.
template <class Call>
uint32_t with_channel(uint32_t number, Call call) {
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.channels.find(number);
  if (it == r.channels.end()) return KYME_INVALID_CHANNEL;
  return call(it->second);
}

}  // namespace

void destroy_all_encoder_channels() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.channels.clear();
}

}  // namespace kyme

using namespace kyme;

extern "C" {

KY_EXPORT kymeRet_t kymeCreateEncoderChannel(kymeEncChannelParameters* parameters, uint32_t channel) {
  KY_GATE("kymeCreateEncoderChannel", {}, static_cast<const void*>(parameters), channel);
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  if (parameters == nullptr || parameters->outbufNum > KYME_ENC_MAX_OUTBUF_NUM) return KYME_INVALID_ARGUMENT;
  const kymeCodecType codec = parameters->codecType;
  const bool jpeg = codec == KYME_CODEC_ENC_JPEG;
  if (jpeg ? !valid_jpeg(parameters->config.jpeg)
           : (codec != KYME_CODEC_ENC_H264 && codec != KYME_CODEC_ENC_HEVC) || !valid_video(parameters->config.video)) {
    return KYME_INVALID_ARGUMENT;
  }
  Slot slot;
  if (!locate(channel, &slot) || slot.core >= (jpeg ? slot.jpeg : slot.video)) return KYME_INVALID_CHANNEL;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.channels.count(channel) != 0) return KYME_CHANNEL_BUSY;
  r.channels.emplace(channel, EncoderChannel{codec});
  return OK;
}

KY_EXPORT kymeRet_t kymeDestoryEncoderChannel(uint32_t channel) {
  KY_GATE("kymeDestoryEncoderChannel", {}, channel);
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.channels.erase(channel) != 0 ? OK : KYME_INVALID_CHANNEL;
}

KY_EXPORT kymeRet_t kymeStartEncoder(uint32_t channel) {
  KY_GATE("kymeStartEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) -> uint32_t {
    if (c.state == KYME_ST_RUNNING) return KYME_WRONG_STATE;
    c.state = KYME_ST_RUNNING;
    return OK;
  });
}

KY_EXPORT kymeRet_t kymeResetEncoder(uint32_t channel) {
  KY_GATE("kymeResetEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) -> uint32_t {
    c.state = KYME_ST_READY;
    return OK;
  });
}

KY_EXPORT kymeRet_t kymeStopEncoder(uint32_t channel) {
  KY_GATE("kymeStopEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) -> uint32_t {
    c.state = KYME_ST_STOPPED;
    return OK;
  });
}

KY_EXPORT kymeRet_t kymeSendFrameToEncoder(uint32_t channel, kymeFrame* frame, kymeEncExtendedParams* params,
                                           uint32_t timeout) {
  KY_GATE("kymeSendFrameToEncoder", {}, channel, static_cast<const void*>(frame), static_cast<const void*>(params),
          timeout);
  if (frame == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [](EncoderChannel&) -> uint32_t { return KYCM_NOT_IMPLEMENTED; });
}

KY_EXPORT kymeRet_t kymeReceiveStreamFromEncoder(uint32_t channel, kymeStream* stream, uint32_t timeout) {
  KY_GATE("kymeReceiveStreamFromEncoder", {}, channel, static_cast<const void*>(stream), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [](EncoderChannel&) -> uint32_t { return KYCM_NOT_IMPLEMENTED; });
}

KY_EXPORT kymeRet_t kymeJpegSyncEncoder(uint32_t channel, kymeFrame* frame, kymeStream* output,
                                        kymeEncExtendedParams* params, uint32_t timeout) {
  KY_GATE("kymeJpegSyncEncoder", {}, channel, static_cast<const void*>(frame), static_cast<const void*>(output),
          static_cast<const void*>(params), timeout);
  if (frame == nullptr || output == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [](EncoderChannel&) -> uint32_t { return KYCM_NOT_IMPLEMENTED; });
}

KY_EXPORT kymeRet_t kymeEncReleaseStream(uint32_t channel, kymeStream* stream, uint32_t timeout) {
  KY_GATE("kymeEncReleaseStream", {}, channel, static_cast<const void*>(stream), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [](EncoderChannel&) -> uint32_t { return KYCM_NOT_IMPLEMENTED; });
}

KY_EXPORT kymeRet_t kymeGetEncoderAvailableChannels(uint32_t* count) {
  KY_GATE("kymeGetEncoderAvailableChannels", ::kycore::clear_output(count), static_cast<const void*>(count));
  if (count == nullptr) return KYME_INVALID_ARGUMENT;
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  const auto platform = current_platform();
  uint64_t total = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) total += numbers_of(platform->device(d));
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  *count = static_cast<uint32_t>(total - std::min<uint64_t>(total, r.channels.size()));
  return OK;
}

}  // extern "C"
