// The encoder's C interface: channel numbers, the checks of the channel
// parameters, and the life cycle of each channel.
//
// Channel numbers run device after device, as for the decoder: device d has
// max(encode_channels, jpeg_encode_channels) numbers; a video channel may be
// created on the first encode_channels of them, a JPEG channel on the first
// jpeg_encode_channels.
//
// The configuration is checked, and the codec opened, when the channel is
// created: a configuration the codec refuses is a code there, never a
// failure later.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "channel_table.h"
#include "decoder_registry.h"
#include "encoder_channel.h"
#include "encoder_settings.h"
#include "jpeg_encoder.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/export.h"
#include "kycore/host_access.h"
#include "kycore/platform.h"
#include "kycore/test_control.h"
#include "kyme.h"
#include "video_encoder.h"

using namespace kycore;

namespace kyme {
namespace {

ChannelTable<EncoderChannel>& channels() { return ChannelTable<EncoderChannel>::instance(); }

struct Slot {
  uint32_t core = 0;
  uint32_t video = 0;
  uint32_t jpeg = 0;
  int32_t device = -1;
};

uint64_t numbers_of(const DieConfig* die) { return std::max(die->encode_channels, die->jpeg_encode_channels); }

bool locate(uint32_t channel, Slot* slot) {
  const auto platform = current_platform();
  uint64_t base = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) {
    const DieConfig* die = platform->device(d);
    if (channel < base + numbers_of(die)) {
      *slot = Slot{static_cast<uint32_t>(channel - base), die->encode_channels, die->jpeg_encode_channels,
                   static_cast<int32_t>(d)};
      return true;
    }
    base += numbers_of(die);
  }
  return false;
}

// libavcodec's threads per video channel: QUILLON_ENCODE_THREADS (0 lets
// libavcodec choose), 1 by default.
int encode_threads() {
  const char* text = std::getenv("QUILLON_ENCODE_THREADS");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 64) return 1;
  return static_cast<int>(value);
}

bool unsigned_in(uint32_t value, uint32_t low, uint32_t high) { return value >= low && value <= high; }

// The JPEG configuration, checked; the user data text copied (its address
// is only valid during the call).
uint32_t plan_jpeg(const kymeEncJPEGConfiguration& j, EncoderChannel::Factory* factory) {
  if (!unsigned_in(j.codingWidth, KYME_ENC_JPEG_MIN_WIDTH, KYME_ENC_JPEG_MAX_WIDTH) ||
      !unsigned_in(j.codingHeight, KYME_ENC_JPEG_MIN_HEIGHT, KYME_ENC_JPEG_MAX_HEIGHT) ||
      (j.userDataLength != 0 && j.userData == nullptr) || j.userDataLength > kMaxJpegComment + 1) {
    return KYME_INVALID_ARGUMENT;
  }
  // libjpeg-turbo of this generation writes no lossless JPEG.
  if (j.losslessEn != 0) return KYME_UNSUPPORTED_CONFIG;
  if (!jpeg_encodes(j.frameType)) return KYME_UNSUPPORTED_FORMAT;
  std::string comment;
  if (j.userDataLength != 0) {
    if (!host_range_accessible(j.userData, j.userDataLength, HostAccess::read)) return KYME_INVALID_ARGUMENT;
    comment.assign(j.userData, strnlen(j.userData, j.userDataLength));
  }
  const kymePixelFormat format = j.frameType;
  const int width = static_cast<int>(j.codingWidth);
  const int height = static_cast<int>(j.codingHeight);
  *factory = [=](std::unique_ptr<PictureEncoder>* out) -> uint32_t {
    *out = make_jpeg_encoder(format, width, height, comment);
    return *out ? OK : KYME_UNSUPPORTED_FORMAT;
  };
  return OK;
}

uint32_t plan_channel(const kymeEncChannelParameters& p, EncoderChannel::Factory* factory) {
  if (p.codecType == KYME_CODEC_ENC_JPEG) return plan_jpeg(p.config.jpeg, factory);
  VideoSettings settings;
  const uint32_t code = plan_video(p.codecType, p.config.video, &settings);
  if (code != OK) return code;
  const int threads = encode_threads();
  *factory = [settings, threads](std::unique_ptr<PictureEncoder>* out) {
    return open_video_encoder(settings, threads, out);
  };
  return OK;
}

template <class Call>
uint32_t with_channel(uint32_t number, Call call) {
  return channels().with(number, call);
}

}  // namespace

void destroy_all_encoder_channels() { channels().destroy_all(); }

}  // namespace kyme

using namespace kyme;

extern "C" {

KY_EXPORT kymeRet_t kymeCreateEncoderChannel(kymeEncChannelParameters* parameters, uint32_t channel) try {
  KY_GATE("kymeCreateEncoderChannel", {}, static_cast<const void*>(parameters), channel);
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  if (parameters == nullptr || parameters->outbufNum > KYME_ENC_MAX_OUTBUF_NUM) return KYME_INVALID_ARGUMENT;
  const kymeCodecType codec = parameters->codecType;
  const bool jpeg = codec == KYME_CODEC_ENC_JPEG;
  if (!jpeg && codec != KYME_CODEC_ENC_H264 && codec != KYME_CODEC_ENC_HEVC) return KYME_INVALID_ARGUMENT;
  EncoderChannel::Factory factory;
  const uint32_t planned = plan_channel(*parameters, &factory);
  if (planned != OK) return planned;
  Slot slot;
  if (!locate(channel, &slot) || slot.core >= (jpeg ? slot.jpeg : slot.video)) return KYME_INVALID_CHANNEL;
  if (channels().contains(channel)) return KYME_CHANNEL_BUSY;
  NumberClaim claim;
  if (const uint32_t taken = claim.take(ChannelKind::encoder, slot.device, slot.core, jpeg); taken != OK) return taken;
  // Opened outside the table's lock: x265 takes a while.
  std::unique_ptr<PictureEncoder> encoder;
  const uint32_t opened = factory(&encoder);
  if (opened != OK) return opened;
  auto made = std::make_shared<EncoderChannel>(*parameters, std::move(encoder), std::move(factory));
  made->place(slot.device, slot.core);
  return channels().add(channel, std::move(made), std::move(claim));
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeDestoryEncoderChannel(uint32_t channel) try {
  KY_GATE("kymeDestoryEncoderChannel", {}, channel);
  return channels().destroy(channel);
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeStartEncoder(uint32_t channel) try {
  KY_GATE("kymeStartEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) { return c.start(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeResetEncoder(uint32_t channel) try {
  KY_GATE("kymeResetEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) { return c.reset(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeStopEncoder(uint32_t channel) try {
  KY_GATE("kymeStopEncoder", {}, channel);
  return with_channel(channel, [](EncoderChannel& c) { return c.stop(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeSendFrameToEncoder(uint32_t channel, kymeFrame* frame, kymeEncExtendedParams* params,
                                           uint32_t timeout) try {
  KY_GATE("kymeSendFrameToEncoder", {}, channel, static_cast<const void*>(frame), static_cast<const void*>(params),
          timeout);
  if (frame == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](EncoderChannel& c) { return c.send(*frame, params, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeReceiveStreamFromEncoder(uint32_t channel, kymeStream* stream, uint32_t timeout) try {
  KY_GATE("kymeReceiveStreamFromEncoder", {}, channel, static_cast<const void*>(stream), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](EncoderChannel& c) { return c.receive(stream, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeJpegSyncEncoder(uint32_t channel, kymeFrame* frame, kymeStream* output,
                                        kymeEncExtendedParams* params, uint32_t timeout) try {
  KY_GATE("kymeJpegSyncEncoder", {}, channel, static_cast<const void*>(frame), static_cast<const void*>(output),
          static_cast<const void*>(params), timeout);
  if (frame == nullptr || output == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](EncoderChannel& c) { return c.encode_jpeg_now(*frame, output, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeEncReleaseStream(uint32_t channel, kymeStream* stream, uint32_t timeout) try {
  KY_GATE("kymeEncReleaseStream", {}, channel, static_cast<const void*>(stream), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](EncoderChannel& c) { return c.release(*stream); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetEncoderAvailableChannels(uint32_t* count) try {
  KY_GATE("kymeGetEncoderAvailableChannels", ::kycore::clear_output(count), static_cast<const void*>(count));
  if (count == nullptr) return KYME_INVALID_ARGUMENT;
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  const auto platform = current_platform();
  uint64_t total = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) total += numbers_of(platform->device(d));
  *count =
      static_cast<uint32_t>(total - std::min<uint64_t>(total, numbers_in_use(ChannelKind::encoder, channels().size())));
  return OK;
}
KYME_CATCH

}  // extern "C"
