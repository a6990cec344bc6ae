// libavcodec behind a parser: bytes in any cut go through av_parser_parse2,
// whole pictures through the send/receive interface, and each decoded
// picture is cropped, converted if needed and written where the sink says.
#include "video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "deferred_picture.h"
#include "frame_pool.h"
#include "kycore/error_codes.h"
#include "picture_format.h"

namespace kyme {
namespace {

using kycore::KYME_CORRUPT_STREAM;
using kycore::KYME_INVALID_ARGUMENT;
using kycore::KYME_OUT_OF_MEMORY;
using kycore::KYME_UNSUPPORTED_STREAM;

AVCodecID codec_id(kymeCodecType codec) {
  switch (codec) {
    case KYME_CODEC_DEC_H264:
      return AV_CODEC_ID_H264;
    case KYME_CODEC_DEC_HEVC:
      return AV_CODEC_ID_HEVC;
    default:
      return AV_CODEC_ID_NONE;
  }
}

kymeFrameType frame_type(AVPictureType type) {
  switch (type) {
    case AV_PICTURE_TYPE_B:
      return KYME_FRM_B;
    case AV_PICTURE_TYPE_P:
    case AV_PICTURE_TYPE_SP:
      return KYME_FRM_P;
    default:
      return KYME_FRM_I;
  }
}

// The format a picture is given out in when the channel asked for none: the
// decoded layout when it has a name, else the nearest 8- or 10-bit 4:2:0.
AVPixelFormat native_output(AVPixelFormat decoded) {
  if (from_av_format(decoded) != KYME_PIX_FMT_NONE)
    return decoded == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : decoded;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(decoded);
  return d != nullptr && d->comp[0].depth > 8 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
}

uint32_t whole_fps(AVRational rate) {
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return static_cast<uint32_t>(std::lround(static_cast<double>(rate.num) / rate.den));
}

// One libavcodec decoder with its parser.
class Session {
 public:
  // `frames`: where pictures are allocated (null: libavcodec's own pool).
  Session(const AVCodec* codec, kymeDecMode mode, FramePool* frames = nullptr)
      : codec_(codec), mode_(mode), frames_(frames) {}
  ~Session() { close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // `threads` > 1 decodes that many pictures at once (frame threading):
  // measured on 1080p H.264 from x264, whose pictures are one slice each,
  // slice threading gains nothing while frame threading nearly halves the
  // time. Output is the same pictures in the same order either way.
  bool open(int threads) {
    close();
    threads_ = threads;
    fresh_ = true;
    context_ = avcodec_alloc_context3(codec_);
    parser_ = av_parser_init(codec_->id);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (context_ == nullptr || parser_ == nullptr || packet_ == nullptr || frame_ == nullptr) return false;
    if (frames_ != nullptr) frames_->attach(context_);
    context_->thread_count = threads_;
    context_->thread_type = FF_THREAD_FRAME;
    // Cropping is applied here, so that its offsets can be reported.
    context_->apply_cropping = 0;
    if (mode_ == KYME_DEC_INTRA_ONLY) context_->skip_frame = AVDISCARD_NONKEY;
    if (mode_ == KYME_DEC_SKIP_NONREF) context_->skip_frame = AVDISCARD_NONREF;
    return avcodec_open2(context_, codec_, nullptr) == 0;
  }

  // Ready for another stream on the same context. Flushing keeps what a
  // context allocates as it decodes (its frame pool, its tables, its
  // threads): opened anew for each segment of a clip, a decoder spent more
  // time faulting in and zeroing fresh picture buffers than decoding some
  // of them. Pictures are the same as from a new context, each stream
  // starting at a random-access point after its parameter sets.
  bool restart() {
    if (context_ == nullptr) return open(threads_);
    avcodec_flush_buffers(context_);
    context_->framerate = AVRational{0, 1};  // this stream's own, or unknown
    av_parser_close(parser_);
    parser_ = av_parser_init(codec_->id);
    fresh_ = true;
    return parser_ != nullptr;
  }

  void close() {
    av_parser_close(parser_);
    parser_ = nullptr;
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
  }

  // Calls `on_frame(frame)` for each decoded picture; it returns false to
  // stop. `on_packet(ok)` hears of each whole picture sent, and
  // `on_packet(false)` of each that failed to decode.
  template <class OnPacket, class OnFrame>
  void parse(const uint8_t* data, std::size_t size, int64_t pts, OnPacket on_packet, OnFrame on_frame) {
    fresh_ = false;
    while (size > 0) {
      uint8_t* out = nullptr;
      int out_size = 0;
      const int chunk = size > INT32_MAX ? INT32_MAX : static_cast<int>(size);
      const int used = av_parser_parse2(parser_, context_, &out, &out_size, data, chunk, pts, AV_NOPTS_VALUE, 0);
      if (used < 0) return;
      data += used;
      size -= static_cast<std::size_t>(used);
      if (out_size > 0 && !send(out, out_size, parser_->pts, on_packet, on_frame)) return;
    }
  }

  // The end of the stream. The parser holds the last picture until it is
  // called with no data; only then is the decoder drained.
  template <class OnPacket, class OnFrame>
  void drain(OnPacket on_packet, OnFrame on_frame) {
    for (;;) {
      uint8_t* out = nullptr;
      int out_size = 0;
      av_parser_parse2(parser_, context_, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (out_size <= 0) break;
      if (!send(out, out_size, parser_->pts, on_packet, on_frame)) return;
    }
    avcodec_send_packet(context_, nullptr);
    receive_all(on_packet, on_frame);
  }

  AVCodecContext* context() const { return context_; }
  // Opened, and not left without a parser by a failed restart.
  bool ready() const { return context_ != nullptr && parser_ != nullptr; }
  int threads() const { return threads_; }
  // Opened and given no bytes since.
  bool fresh() const { return fresh_; }

 private:
  template <class OnPacket, class OnFrame>
  bool send(uint8_t* data, int size, int64_t pts, OnPacket on_packet, OnFrame on_frame) {
    packet_->data = data;
    packet_->size = size;
    packet_->pts = pts;
    for (;;) {
      const int result = avcodec_send_packet(context_, packet_);
      if (result == AVERROR(EAGAIN)) {
        if (!receive_all(on_packet, on_frame)) return false;
        continue;
      }
      on_packet(result >= 0);
      break;
    }
    return receive_all(on_packet, on_frame);
  }

  // With frame threads, a picture that failed to decode is reported by a
  // later call, here as well as in avcodec_send_packet: it is counted as
  // dropped and the pictures behind it are still taken.
  template <class OnPacket, class OnFrame>
  bool receive_all(OnPacket on_packet, OnFrame on_frame) {
    for (int failures = 0; failures <= kMaxFailuresInARow;) {
      const int result = avcodec_receive_frame(context_, frame_);
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
      if (result < 0) {
        on_packet(false);
        ++failures;
        continue;
      }
      failures = 0;
      const bool go_on = on_frame(frame_);
      av_frame_unref(frame_);
      if (!go_on) return false;
    }
    return true;
  }

  // A decoder that keeps failing is given up on until more input comes.
  static constexpr int kMaxFailuresInARow = 64;

  const AVCodec* codec_;
  kymeDecMode mode_;
  FramePool* frames_;
  int threads_ = 1;
  bool fresh_ = true;
  AVCodecContext* context_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
};

// The crop the stream asks for, applied the way libavcodec applies it by
// default, so that pictures equal what its own users get.
kymeFrame::CropInfo apply_crop(AVFrame* frame) {
  kymeFrame::CropInfo crop{};
  const bool cropped =
      frame->crop_left != 0 || frame->crop_right != 0 || frame->crop_top != 0 || frame->crop_bottom != 0;
  crop.xOffset = static_cast<uint32_t>(frame->crop_left);
  crop.yOffset = static_cast<uint32_t>(frame->crop_top);
  av_frame_apply_cropping(frame, 0);
  crop.flag = cropped ? 1 : 0;
  crop.width = static_cast<uint32_t>(frame->width);
  crop.height = static_cast<uint32_t>(frame->height);
  return crop;
}

class VideoCodec final : public PictureCodec {
 public:
  VideoCodec(const AVCodec* codec, kymePixelFormat output, kymeDecMode mode, ThreadCount threads)
      : session_(codec, mode, &frames_), output_(output), threads_(std::move(threads)) {}
  ~VideoCodec() override { sws_freeContext(scaler_); }
  VideoCodec(const VideoCodec&) = delete;
  VideoCodec& operator=(const VideoCodec&) = delete;

  bool open() { return session_.open(threads_()); }

  static auto packet_handler(PictureSink& sink) {
    return [&sink](bool accepted) {
      if (accepted) {
        sink.picture_sent();
      } else {
        sink.dropped(KYME_CORRUPT_STREAM);
      }
    };
  }

  auto frame_handler(PictureSink& sink) {
    return [this, &sink](AVFrame* frame) { return deliver(frame, sink); };
  }

  uint32_t decode(const uint8_t* data, std::size_t size, int64_t pts, PictureSink& sink) override {
    // The thread count is settled when a stream's first bytes arrive, not
    // when the decoder opened: only then is it known which channels have
    // input to share the processors with.
    if (session_.fresh()) {
      const int threads = threads_();
      if ((threads != session_.threads() || !session_.ready()) && !session_.open(threads)) {
        sink.dropped(KYME_OUT_OF_MEMORY);
        return KYME_OUT_OF_MEMORY;
      }
    }
    session_.parse(data, size, pts, packet_handler(sink), frame_handler(sink));
    return 0;
  }

  void finish(PictureSink& sink) override {
    session_.drain(packet_handler(sink), frame_handler(sink));
    // Ready for another stream.
    if (!session_.restart()) open();
  }

  void flush() override {
    // A reset right after the end of a stream finds the decoder restarted
    // and given nothing since: there is nothing to flush a second time.
    if (session_.ready() && session_.fresh()) return;
    if (!session_.restart()) open();
  }

 private:
  bool deliver(AVFrame* frame, PictureSink& sink) {
    if (sink.stopping()) return false;
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
      sink.dropped(KYME_CORRUPT_STREAM);
      return true;
    }
    PictureInfo info;
    info.crop = apply_crop(frame);
    info.pts = frame->pts;
    info.type = frame_type(frame->pict_type);
    info.fps = whole_fps(session_.context()->framerate);
    const auto decoded = static_cast<AVPixelFormat>(frame->format);
    const AVPixelFormat layout = output_ == KYME_PIX_FMT_NONE ? native_output(decoded) : to_av_format(output_);
    const kymePixelFormat name = output_ == KYME_PIX_FMT_NONE ? from_av_format(layout) : output_;
    const auto width = static_cast<uint32_t>(frame->width);
    const auto height = static_cast<uint32_t>(frame->height);
    PictureTarget* target = sink.acquire(name, layout, width, height);
    if (target == nullptr) {
      if (sink.stopping()) return false;
      sink.dropped(sink.refusal());
      return true;
    }
    // The copy out of the codec waits, where it can, until the picture is
    // first read: the main job's reader takes the codec's planes as they are.
    if (!defer_picture(frame, layout, *target) && !copy_directly(frame, layout, target->planes, target->linesizes)) {
      // Only what has no direct way (10 bits, RGB, grey) takes libswscale's pass.
      scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, decoded, frame->width, frame->height, layout,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
      if (scaler_ == nullptr) {
        sink.abandon(target);
        sink.dropped(KYME_UNSUPPORTED_STREAM);
        return true;
      }
      sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, target->planes, target->linesizes);
    }
    sink.commit(target, info);
    return true;
  }

  FramePool frames_;  // before the session: its contexts allocate from it until they close
  Session session_;
  kymePixelFormat output_;
  ThreadCount threads_;
  SwsContext* scaler_ = nullptr;
};

}  // namespace

std::unique_ptr<PictureCodec> make_video_codec(kymeCodecType codec, kymePixelFormat output, kymeDecMode mode,
                                               ThreadCount threads) {
  const AVCodec* decoder = avcodec_find_decoder(codec_id(codec));
  if (decoder == nullptr) return nullptr;
  auto video = std::make_unique<VideoCodec>(decoder, output, mode, std::move(threads));
  if (!video->open()) return nullptr;
  return video;
}

uint32_t probe_video(kymeCodecType codec, const uint8_t* data, std::size_t size, kymeDecVideoInfo* info) {
  const AVCodec* decoder = avcodec_find_decoder(codec_id(codec));
  if (decoder == nullptr) return KYME_INVALID_ARGUMENT;
  Session session(decoder, KYME_DEC_NORMAL);
  if (!session.open(1)) return KYME_OUT_OF_MEMORY;
  bool found = false;
  kymeDecVideoInfo result{};
  const auto on_packet = [](bool) {};
  const auto on_frame = [&](AVFrame* frame) {
    result.width = static_cast<uint32_t>(frame->width);
    result.height = static_cast<uint32_t>(frame->height);
    const kymeFrame::CropInfo crop = apply_crop(frame);
    result.cropFlag = crop.flag;
    result.cropWidth = crop.width;
    result.cropHeight = crop.height;
    result.xOffset = crop.xOffset;
    result.yOffset = crop.yOffset;
    const AVRational rate = session.context()->framerate;
    if (rate.num > 0 && rate.den > 0)
      result.fps = kymeRational{static_cast<uint32_t>(rate.num), static_cast<uint32_t>(rate.den)};
    result.pixelFormat = from_av_format(static_cast<AVPixelFormat>(frame->format));
    found = true;
    return false;
  };
  if (size > PTRDIFF_MAX - kInputPadding) return KYME_INVALID_ARGUMENT;
  std::vector<uint8_t> padded(size + kInputPadding, 0);
  if (size > 0) std::copy(data, data + size, padded.begin());
  session.parse(padded.data(), size, 0, on_packet, on_frame);
  if (!found) session.drain(on_packet, on_frame);
  if (!found) return kymeER_RSLT_WARN_MORE_DATA;
  *info = result;
  return 0;
}

}  // namespace kyme
