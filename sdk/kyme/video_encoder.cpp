// libavcodec's libx264 and libx265 wrappers, opened without a global header
// so that parameter sets travel in band with every IDR picture. A forced
// IDR is a picture of type I with the wrappers' forced-idr option; regions
// of interest go as the frame's region-of-interest side data.
#include "video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <climits>
#include <string>

#include "kycore/error_codes.h"
#include "picture_format.h"

namespace kyme {
namespace {

using namespace kycore;

class VideoEncoder final : public PictureEncoder {
 public:
  VideoEncoder(const AVCodec* codec, VideoSettings settings, int threads)
      : codec_(codec), limits_(settings), settings_(std::move(settings)), threads_(threads) {}
  ~VideoEncoder() override { close(); }
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  uint32_t open() {
    close();
    context_ = avcodec_alloc_context3(codec_);
    packet_ = av_packet_alloc();
    if (context_ == nullptr || packet_ == nullptr) return KYME_OUT_OF_MEMORY;
    const VideoSettings& s = settings_;
    context_->width = s.width;
    context_->height = s.height;
    context_->pix_fmt = s.coding;
    context_->time_base = av_inv_q(s.rate);
    context_->framerate = s.rate;
    context_->thread_count = threads_;
    if (s.keyint > 0) context_->gop_size = s.keyint;
    if (s.level > 0) context_->level = s.level;
    context_->bit_rate = s.bit_rate;
    context_->rc_max_rate = s.max_rate;
    context_->rc_buffer_size = static_cast<int>(std::min<int64_t>(s.buffer, INT32_MAX));
    AVDictionary* options = nullptr;
    for (const auto& [key, value] : s.options) av_dict_set(&options, key.c_str(), value.c_str(), 0);
    std::string params = s.hevc ? "log-level=error" : "";
    // x265 repeats its parameter sets with each key picture only when told.
    if (s.hevc) params += ":repeat-headers=1";
    for (const auto& [key, value] : s.params) params += (params.empty() ? "" : ":") + key + "=" + value;
    if (!params.empty()) av_dict_set(&options, s.hevc ? "x265-params" : "x264-params", params.c_str(), 0);
    const int result = avcodec_open2(context_, codec_, &options);
    av_dict_free(&options);
    if (result < 0) {
      close();
      return KYME_UNSUPPORTED_CONFIG;
    }
    return OK;
  }

  AVPixelFormat format() const override { return limits_.coding; }
  int width() const override { return limits_.width; }
  int height() const override { return limits_.height; }

  bool accepts(kymePixelFormat format) const override {
    switch (format) {
      case KYME_PIX_FMT_YUV420P:
      case KYME_PIX_FMT_NV12:
      case KYME_PIX_FMT_NV21:
      case KYME_PIX_FMT_YUV420P10:
      case KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010:
      case KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010:
        return true;
      default:
        return false;
    }
  }

  uint32_t check(const kymeEncExtendedParams* params, PictureRequest* request) const override {
    *request = PictureRequest{};
    if (params == nullptr) return OK;
    request->idr = params->forceIDR != 0 || params->resetStream != 0;
    if (params->updateBitRate != 0) {
      const RateControl rc = limits_.rate_control;
      if (rc != RateControl::constant_bit_rate && rc != RateControl::variable_bit_rate) return KYME_UNSUPPORTED_CONFIG;
      if (rc == RateControl::variable_bit_rate && limits_.max_rate > 0 && params->updateBitRate > limits_.max_rate)
        return KYME_UNSUPPORTED_CONFIG;
      request->bit_rate = params->updateBitRate;
    }
    for (const kymeEncPictureROI& roi : params->area.roi) {
      if (roi.area.enable == 0) continue;
      // Without enableROI the area is not read as regions (nor as a map,
      // which this encoder does not take).
      if (!limits_.roi || roi.qpType != KYME_ENC_QP_DELTA) return KYME_UNSUPPORTED_CONFIG;
      const kymeEncPictureArea& a = roi.area;
      if (a.left >= a.right || a.top >= a.bottom || a.right > static_cast<uint32_t>(limits_.width) ||
          a.bottom > static_cast<uint32_t>(limits_.height) || roi.qpValue < -limits_.qp_range ||
          roi.qpValue > limits_.qp_range) {
        return KYME_INVALID_ARGUMENT;
      }
      request->regions.push_back(RegionDelta{static_cast<int>(a.top), static_cast<int>(a.left),
                                             static_cast<int>(a.bottom), static_cast<int>(a.right), roi.qpValue});
    }
    return OK;
  }

  uint32_t encode(AVFrame* picture, const PictureRequest& request, UnitSink& sink) override {
    if (context_ == nullptr) return KYME_ENCODE_FAILED;
    if (request.bit_rate > 0 && request.bit_rate != settings_.bit_rate) {
      const uint32_t code = change_bit_rate(request.bit_rate, sink);
      if (code != OK) return code;
    }
    picture->pict_type = request.idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (!request.regions.empty()) {
      AVFrameSideData* side = av_frame_new_side_data(picture, AV_FRAME_DATA_REGIONS_OF_INTEREST,
                                                     request.regions.size() * sizeof(AVRegionOfInterest));
      if (side == nullptr) return KYME_OUT_OF_MEMORY;
      auto* regions = reinterpret_cast<AVRegionOfInterest*>(side->data);
      for (std::size_t i = 0; i < request.regions.size(); ++i) {
        const RegionDelta& r = request.regions[i];
        // The wrappers scale the offset by the QP range of the bit depth.
        regions[i] = AVRegionOfInterest{
            sizeof(AVRegionOfInterest), r.top, r.bottom, r.left, r.right, AVRational{r.delta, settings_.qp_range}};
      }
    }
    if (avcodec_send_frame(context_, picture) < 0) return KYME_ENCODE_FAILED;
    return receive(sink);
  }

  uint32_t finish(UnitSink& sink) override {
    if (context_ == nullptr) return open();
    uint32_t code = avcodec_send_frame(context_, nullptr) < 0 ? KYME_ENCODE_FAILED : receive(sink);
    const uint32_t reopened = open();
    return code != OK ? code : reopened;
  }

  uint32_t restart() override { return open(); }

 private:
  void close() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
  }

  uint32_t receive(UnitSink& sink) {
    for (;;) {
      const int result = avcodec_receive_packet(context_, packet_);
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return OK;
      if (result < 0) return KYME_ENCODE_FAILED;
      const bool taken = sink.put(packet_->data, static_cast<std::size_t>(packet_->size), packet_->pts);
      av_packet_unref(packet_);
      if (!taken) return OK;
    }
  }

  // x264 takes a new target at once; x265 through libavcodec cannot, so its
  // stream is ended and a new one begins (with an IDR picture) at the new rate.
  uint32_t change_bit_rate(int64_t bit_rate, UnitSink& sink) {
    settings_.bit_rate = bit_rate;
    if (settings_.rate_control == RateControl::constant_bit_rate) {
      const int64_t seconds = settings_.max_rate > 0 ? settings_.buffer * 1000 / settings_.max_rate : 1000;
      settings_.max_rate = bit_rate;
      settings_.buffer = seconds * bit_rate / 1000;
    }
    if (!settings_.hevc) {
      context_->bit_rate = settings_.bit_rate;
      context_->rc_max_rate = settings_.max_rate;
      context_->rc_buffer_size = static_cast<int>(std::min<int64_t>(settings_.buffer, INT32_MAX));
      return OK;
    }
    if (avcodec_send_frame(context_, nullptr) < 0) return KYME_ENCODE_FAILED;
    const uint32_t code = receive(sink);
    const uint32_t reopened = open();
    return code != OK ? code : reopened;
  }

  const AVCodec* codec_;
  // As configured: what check() reads while the worker encodes. The worker's
  // settings_ follow bit rate changes.
  const VideoSettings limits_;
  VideoSettings settings_;
  int threads_;
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
};

}  // namespace

uint32_t open_video_encoder(const VideoSettings& settings, int threads, std::unique_ptr<PictureEncoder>* encoder) {
  // x264's banner and closing statistics are information only.
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_WARNING);
  const AVCodec* codec = avcodec_find_encoder_by_name(settings.hevc ? "libx265" : "libx264");
  if (codec == nullptr) return KYME_UNSUPPORTED_CONFIG;
  auto video = std::make_unique<VideoEncoder>(codec, settings, threads);
  const uint32_t code = video->open();
  if (code != OK) return code;
  *encoder = std::move(video);
  return OK;
}

}  // namespace kyme
