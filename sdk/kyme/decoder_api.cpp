// The decoder's C interface: channel numbers, argument checks and the calls
// that need no channel (stream information and capabilities).
//
// Channel numbers run device after device. Device d has
// max(decode_channels, jpeg_decode_channels) numbers; a video channel may be
// created on the first decode_channels of them, a JPEG channel on the first
// jpeg_decode_channels.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "channel_table.h"
#include "decoder_channel.h"
#include "decoder_registry.h"
#include "jpeg_header.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/export.h"
#include "kycore/platform.h"
#include "kycore/test_control.h"
#include "kyme.h"
#include "stream_bytes.h"
#include "video_decoder.h"

using namespace kycore;

namespace kyme {
namespace {

ChannelTable<DecoderChannel>& channels() { return ChannelTable<DecoderChannel>::instance(); }

struct Slot {
  int32_t device = -1;
  uint32_t core = 0;
  uint32_t video = 0;  // channels of each kind this device offers
  uint32_t jpeg = 0;
};

bool locate(uint32_t channel, Slot* slot) {
  const auto platform = current_platform();
  uint64_t base = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) {
    const DieConfig* die = platform->device(d);
    const uint64_t width = std::max(die->decode_channels, die->jpeg_decode_channels);
    if (channel < base + width) {
      *slot = Slot{static_cast<int32_t>(d), static_cast<uint32_t>(channel - base), die->decode_channels,
                   die->jpeg_decode_channels};
      return true;
    }
    base += width;
  }
  return false;
}

// libavcodec's threads per video channel: QUILLON_DECODE_THREADS (0 lets
// libavcodec choose); by default the channel's share of the processors.
int decode_threads() {
  const char* text = std::getenv("QUILLON_DECODE_THREADS");
  if (text == nullptr || *text == '\0') return kAutomaticThreads;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 64) return kAutomaticThreads;
  return static_cast<int>(value);
}

// A video channel's threads from its `enableMC`: 0 leaves them to
// decode_threads(); a count n in bits 8 to 15 asks for n threads (at most 64,
// as the variable allows), for a program that shares the processors among its
// channels itself; any other nonzero value, the flag as callers set it, asks
// for every processor (a stream known to be the one left decoding). Either
// way the channel's own setting stands whatever the other channels do and
// QUILLON_DECODE_THREADS says.
int channel_threads(uint32_t enable_mc) {
  if (enable_mc == 0) return decode_threads();
  const uint32_t count = (enable_mc >> 8) & 0xFF;
  if (count != 0) return static_cast<int>(std::min<uint32_t>(count, 64));
  return all_processors_threads();
}

template <class Call>
uint32_t with_channel(uint32_t number, Call call) {
  return channels().with(number, call);
}

bool valid_codec(kymeCodecType codec) {
  return codec == KYME_CODEC_DEC_JPEG || codec == KYME_CODEC_DEC_H264 || codec == KYME_CODEC_DEC_HEVC;
}

const kymePixelFormat kVideoFormats[] = {
    KYME_PIX_FMT_YUV420P,
    KYME_PIX_FMT_NV12,
    KYME_PIX_FMT_NV21,
    KYME_PIX_FMT_YUV420P10,
    KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010,
    KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010,
    KYME_PIX_FMT_GRAY8,
    KYME_PIX_FMT_RGB24,
    KYME_PIX_FMT_BGR24,
};
const kymePixelFormat kJpegFormats[] = {
    KYME_PIX_FMT_YUV420P, KYME_PIX_FMT_YUV422P, KYME_PIX_FMT_YUV444P, KYME_PIX_FMT_NV12,
    KYME_PIX_FMT_NV21,    KYME_PIX_FMT_GRAY8,   KYME_PIX_FMT_RGB24,   KYME_PIX_FMT_BGR24,
    KYME_PIX_FMT_ARGB,    KYME_PIX_FMT_RGBA,    KYME_PIX_FMT_ABGR,    KYME_PIX_FMT_BGRA,
};

template <std::size_t N>
void fill_formats(kymePixelFormat (&out)[KYME_DEC_MAX_PIX_FMT_NUM], const kymePixelFormat (&formats)[N]) {
  for (auto& f : out) f = KYME_PIX_FMT_NONE;
  for (std::size_t i = 0; i < N; ++i) out[i] = formats[i];
}

}  // namespace

void destroy_all_decoder_channels() { channels().destroy_all(); }

}  // namespace kyme

using namespace kyme;

extern "C" {

KY_EXPORT kymeRet_t kymeCreateDecoderChannel(kymeDecChannelParameters* parameters, uint32_t channel) try {
  KY_GATE("kymeCreateDecoderChannel", {}, static_cast<const void*>(parameters), channel);
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  if (parameters == nullptr || !valid_codec(parameters->codecType) || parameters->sourceMode != KYME_SRC_FRAME ||
      parameters->extraBufferNumber > kMaxExtraPictures ||
      (parameters->decodeMode != KYME_DEC_NORMAL && parameters->decodeMode != KYME_DEC_INTRA_ONLY &&
       parameters->decodeMode != KYME_DEC_SKIP_NONREF)) {
    return KYME_INVALID_ARGUMENT;
  }
  const kymePixelFormat format = parameters->pixelFormat;
  if (format != KYME_PIX_FMT_NONE && to_av_format(format) == AV_PIX_FMT_NONE) return KYME_INVALID_ARGUMENT;
  Slot slot;
  if (!locate(channel, &slot)) return KYME_INVALID_CHANNEL;
  const bool jpeg = parameters->codecType == KYME_CODEC_DEC_JPEG;
  if (slot.core >= (jpeg ? slot.jpeg : slot.video)) return KYME_INVALID_CHANNEL;
  if (channels().contains(channel)) return KYME_CHANNEL_BUSY;
  NumberClaim claim;
  if (const uint32_t taken = claim.take(ChannelKind::decoder, slot.device, slot.core, jpeg); taken != OK) return taken;
  const int threads = jpeg ? decode_threads() : channel_threads(parameters->enableMC);
  return channels().add(channel, std::make_shared<DecoderChannel>(slot.device, slot.core, *parameters, threads),
                        std::move(claim));
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeDestoryDecoderChannel(uint32_t channel) try {
  KY_GATE("kymeDestoryDecoderChannel", {}, channel);
  return channels().destroy(channel);
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeStartDecoder(uint32_t channel) try {
  KY_GATE("kymeStartDecoder", {}, channel);
  return with_channel(channel, [](DecoderChannel& c) { return c.start(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeResetDecoder(uint32_t channel) try {
  KY_GATE("kymeResetDecoder", {}, channel);
  return with_channel(channel, [](DecoderChannel& c) { return c.reset(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeStopDecoder(uint32_t channel) try {
  KY_GATE("kymeStopDecoder", {}, channel);
  return with_channel(channel, [](DecoderChannel& c) { return c.stop(); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeSendStreamToDecoder(uint32_t channel, kymeStream* stream, uint32_t timeout) try {
  KY_GATE("kymeSendStreamToDecoder", {}, channel, static_cast<const void*>(stream), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](DecoderChannel& c) { return c.send(*stream, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeReceiveFrameFromDecoder(uint32_t channel, kymeFrame* output, kymeDecOutputOptions* options,
                                                uint32_t timeout) try {
  KY_GATE("kymeReceiveFrameFromDecoder", ::kycore::clear_output(output), channel, static_cast<const void*>(output),
          static_cast<const void*>(options), timeout);
  return with_channel(channel, [&](DecoderChannel& c) { return c.receive(output, options, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeJpegSyncDecoder(uint32_t channel, kymeStream* stream, kymeFrame* output, uint32_t timeout) try {
  KY_GATE("kymeJpegSyncDecoder", ::kycore::clear_output(output), channel, static_cast<const void*>(stream),
          static_cast<const void*>(output), timeout);
  if (stream == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](DecoderChannel& c) { return c.decode_jpeg_now(*stream, output, timeout); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeTransferFrameFromDecoder(uint32_t channel, kymeFrame* frame, uint32_t flag) try {
  KY_GATE("kymeTransferFrameFromDecoder", {}, channel, static_cast<const void*>(frame), flag);
  return with_channel(channel, [&](DecoderChannel& c) { return c.transfer(frame); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeDecReleaseFrame(uint32_t channel, kymeFrame* frame, uint32_t timeout) try {
  KY_GATE("kymeDecReleaseFrame", {}, channel, static_cast<const void*>(frame), timeout);
  if (frame == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](DecoderChannel& c) { return c.release(*frame); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetJpegInfo(kymeStream* stream, kymeDecJpegInfo* info) try {
  KY_GATE("kymeGetJpegInfo", ::kycore::clear_output(info), static_cast<const void*>(stream),
          static_cast<const void*>(info));
  if (stream == nullptr || info == nullptr || (stream->data == nullptr && stream->length != 0)) {
    return KYME_INVALID_ARGUMENT;
  }
  DeviceSpan keep;
  const uint8_t* bytes = stream_bytes(*stream, &keep);
  if (bytes == nullptr && stream->length != 0) return KYME_INVALID_ARGUMENT;
  JpegHeader header;
  if (!read_jpeg_header(bytes, stream->length, &header)) return KYME_CORRUPT_STREAM;
  *info =
      kymeDecJpegInfo{header.width, header.height, header.x_density, header.y_density, header.chroma, header.coding};
  return OK;
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetVideoInfo(kymeStream* stream, kymeCodecType codec, kymeDecVideoInfo* info) try {
  KY_GATE("kymeGetVideoInfo", ::kycore::clear_output(info), static_cast<const void*>(stream), codec,
          static_cast<const void*>(info));
  if (stream == nullptr || info == nullptr || (stream->data == nullptr && stream->length != 0) ||
      (codec != KYME_CODEC_DEC_H264 && codec != KYME_CODEC_DEC_HEVC)) {
    return KYME_INVALID_ARGUMENT;
  }
  DeviceSpan keep;
  const uint8_t* bytes = stream_bytes(*stream, &keep);
  if (bytes == nullptr && stream->length != 0) return KYME_INVALID_ARGUMENT;
  return probe_video(codec, bytes, stream->length, info);
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetStreamInfoFromDecoder(uint32_t channel, kymeDecStreamInfo* info) try {
  KY_GATE("kymeGetStreamInfoFromDecoder", ::kycore::clear_output(info), channel, static_cast<const void*>(info));
  return with_channel(channel, [&](DecoderChannel& c) { return c.stream_info(info); });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetDecoderStatus(uint32_t channel, kymeDecStatus* status) try {
  KY_GATE("kymeGetDecoderStatus", ::kycore::clear_output(status), channel, static_cast<const void*>(status));
  if (status == nullptr) return KYME_INVALID_ARGUMENT;
  return with_channel(channel, [&](DecoderChannel& c) {
    c.status(status);
    return static_cast<uint32_t>(OK);
  });
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeJpegDecGetCaps(kymeJpegDecCapability* output) try {
  KY_GATE("kymeJpegDecGetCaps", ::kycore::clear_output(output), static_cast<const void*>(output));
  if (output == nullptr) return KYME_INVALID_ARGUMENT;
  kymeJpegDecCapability caps{};
  caps.maxWidth = KYME_DEC_JPEG_MAX_WIDTH;
  caps.maxHeight = KYME_DEC_JPEG_MAX_HEIGHT;
  caps.minWidth = KYME_DEC_JPEG_MIN_WIDTH;
  caps.minHeight = KYME_DEC_JPEG_MIN_HEIGHT;
  for (auto& mode : caps.codingMode) mode = KYME_JPEG_NONE;
  caps.codingMode[0] = KYME_JPEG_BASELINE;
  caps.codingMode[1] = KYME_JPEG_PROGRESSIVE;
  fill_formats(caps.pixelFormats, kJpegFormats);
  *output = caps;
  return OK;
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeVideoDecGetCaps(kymeCodecType codec, kymeVideoDecCapability* output) try {
  KY_GATE("kymeVideoDecGetCaps", ::kycore::clear_output(output), codec, static_cast<const void*>(output));
  if (output == nullptr || (codec != KYME_CODEC_DEC_H264 && codec != KYME_CODEC_DEC_HEVC)) {
    return KYME_INVALID_ARGUMENT;
  }
  const bool hevc = codec == KYME_CODEC_DEC_HEVC;
  kymeVideoDecCapability caps{};
  caps.bitDepth = hevc ? 10 : 8;
  caps.maxWidth = KYME_DEC_VIDEO_MAX_WIDTH;
  caps.maxHeight = KYME_DEC_VIDEO_MAX_HEIGHT;
  caps.minWidth = KYME_DEC_VIDEO_MIN_WIDTH;
  caps.minHeight = KYME_DEC_VIDEO_MIN_HEIGHT;
  caps.maxProFile = hevc ? KYME_VIDEO_PRFL_HEVC_MAIN_10 : KYME_VIDEO_PRFL_H264_HIGH;
  caps.maxLevel = hevc ? KYME_VIDEO_LVL_HEVC_5_1 : KYME_VIDEO_LVL_H264_5_1;
  fill_formats(caps.pixelFormats, kVideoFormats);
  *output = caps;
  return OK;
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetDecoderAvailableChannels(uint32_t* count) try {
  KY_GATE("kymeGetDecoderAvailableChannels", ::kycore::clear_output(count), static_cast<const void*>(count));
  if (count == nullptr) return KYME_INVALID_ARGUMENT;
  if (!media_initialized()) return KYME_NOT_INITIALIZED;
  const auto platform = current_platform();
  uint64_t total = 0;
  for (std::size_t d = 0; d < platform->device_count(); ++d) {
    const DieConfig* die = platform->device(d);
    total += std::max(die->decode_channels, die->jpeg_decode_channels);
  }
  const uint64_t used = numbers_in_use(ChannelKind::decoder, channels().size());
  *count = static_cast<uint32_t>(total > used ? total - used : 0);
  return OK;
}
KYME_CATCH

}  // extern "C"
