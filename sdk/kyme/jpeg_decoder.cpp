// One JPEG per call. Planar YUV and grey pictures come out of TurboJPEG as
// coded (no colour conversion); RGB formats are TurboJPEG's own conversion;
// other formats are converted from the planes with libswscale. A handle that
// reported any error or warning is replaced: TurboJPEG leaves a failed
// header's reading half done, and the next picture would continue it.
#include "jpeg_decoder.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <turbojpeg.h>

#include <vector>

#include "jpeg_header.h"
#include "kycore/error_codes.h"
#include "picture_format.h"

namespace kyme {
namespace {

using kycore::KYME_CORRUPT_STREAM;
using kycore::KYME_OUT_OF_MEMORY;
using kycore::KYME_TIMEOUT;
using kycore::KYME_UNSUPPORTED_STREAM;
using kycore::KYME_WRONG_STATE;

// The planar layout TurboJPEG decodes a sampling into.
AVPixelFormat planar_layout(int subsampling) {
  switch (subsampling) {
    case TJSAMP_444:
      return AV_PIX_FMT_YUV444P;
    case TJSAMP_422:
      return AV_PIX_FMT_YUV422P;
    case TJSAMP_420:
      return AV_PIX_FMT_YUV420P;
    case TJSAMP_GRAY:
      return AV_PIX_FMT_GRAY8;
    case TJSAMP_440:
      return AV_PIX_FMT_YUV440P;
    case TJSAMP_411:
      return AV_PIX_FMT_YUV411P;
    default:
      return AV_PIX_FMT_NONE;
  }
}

int turbo_pixel_format(kymePixelFormat format) {
  switch (format) {
    case KYME_PIX_FMT_RGB24:
      return TJPF_RGB;
    case KYME_PIX_FMT_BGR24:
      return TJPF_BGR;
    case KYME_PIX_FMT_ARGB:
      return TJPF_ARGB;
    case KYME_PIX_FMT_RGBA:
      return TJPF_RGBA;
    case KYME_PIX_FMT_ABGR:
      return TJPF_ABGR;
    case KYME_PIX_FMT_BGRA:
      return TJPF_BGRA;
    default:
      return -1;
  }
}

class JpegCodec final : public PictureCodec {
 public:
  explicit JpegCodec(kymePixelFormat output) : output_(output) {}
  ~JpegCodec() override {
    if (handle_ != nullptr) tjDestroy(handle_);
    sws_freeContext(scaler_);
  }
  JpegCodec(const JpegCodec&) = delete;
  JpegCodec& operator=(const JpegCodec&) = delete;

  uint32_t decode(const uint8_t* data, std::size_t size, int64_t pts, PictureSink& sink) override {
    const uint32_t code = decode_one(data, size, pts, sink);
    // The picture itself was refused; a time-out or a stopping channel is no fault of it.
    if (code != 0 && code != KYME_TIMEOUT && code != KYME_WRONG_STATE) sink.dropped(code);
    return code;
  }

  void finish(PictureSink& /*sink*/) override {}
  void flush() override {}

 private:
  tjhandle handle() {
    if (handle_ == nullptr) handle_ = tjInitDecompress();
    return handle_;
  }

  // After a failure the next picture gets a new handle: nothing of this one
  // may carry over.
  uint32_t failed() {
    forget_handle();
    return KYME_CORRUPT_STREAM;
  }

  void forget_handle() {
    if (handle_ != nullptr) tjDestroy(handle_);
    handle_ = nullptr;
  }

  uint32_t decode_one(const uint8_t* data, std::size_t size, int64_t pts, PictureSink& sink) {
    JpegHeader header;
    if (!read_jpeg_header(data, size, &header)) return KYME_CORRUPT_STREAM;
    // libjpeg-turbo of this generation decodes no lossless JPEG.
    if (header.lossless || header.precision != 8) return KYME_UNSUPPORTED_STREAM;
    if (header.width > KYME_DEC_JPEG_MAX_WIDTH || header.height > KYME_DEC_JPEG_MAX_HEIGHT) {
      return KYME_UNSUPPORTED_STREAM;
    }
    tjhandle turbo = handle();
    if (turbo == nullptr) return KYME_OUT_OF_MEMORY;
    const auto bytes = static_cast<unsigned long>(size);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(turbo, data, bytes, &width, &height, &subsampling, &colorspace) != 0) return failed();
    const AVPixelFormat planar = planar_layout(subsampling);
    const bool yuv = (colorspace == TJCS_YCbCr || colorspace == TJCS_GRAY) && planar != AV_PIX_FMT_NONE;
    if (!yuv && colorspace != TJCS_RGB) return KYME_UNSUPPORTED_STREAM;  // CMYK and YCCK

    kymePixelFormat name = output_;
    if (name == KYME_PIX_FMT_NONE) {
      name = yuv ? from_av_format(planar) : KYME_PIX_FMT_RGB24;
      if (name == KYME_PIX_FMT_NONE) name = KYME_PIX_FMT_YUV444P;  // 4:4:0 and 4:1:1 have no name of their own
    }
    const AVPixelFormat layout = to_av_format(name);
    if (layout == AV_PIX_FMT_NONE) return KYME_UNSUPPORTED_STREAM;

    PictureTarget* target = sink.acquire(name, layout, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    if (target == nullptr) return sink.refusal();
    const int pixel_format = turbo_pixel_format(name);
    int result = 0;
    if (pixel_format >= 0) {
      result =
          tjDecompress2(turbo, data, bytes, target->planes[0], width, target->linesizes[0], height, pixel_format, 0);
    } else if (yuv && layout == planar) {
      result = tjDecompressToYUVPlanes(turbo, data, bytes, target->planes, width, target->linesizes, height, 0);
    } else {
      result = convert(turbo, data, bytes, yuv ? planar : AV_PIX_FMT_RGB24, layout, width, height, *target);
    }
    // A warning (such as data that ends early) still gives a whole picture.
    if (result != 0 && tjGetErrorCode(turbo) != TJERR_WARNING) {
      sink.abandon(target);
      return failed();
    }
    if (result != 0) forget_handle();
    PictureInfo info;
    info.pts = pts;
    info.type = KYME_FRM_I;
    info.damaged = result != 0;
    sink.commit(target, info);
    return 0;
  }

  // Decodes into a scratch picture of `source` layout, then converts.
  int convert(tjhandle turbo, const uint8_t* data, unsigned long bytes, AVPixelFormat source, AVPixelFormat layout,
              int width, int height, PictureTarget& target) {
    PictureLayout scratch_layout;
    if (!layout_picture(source, static_cast<uint32_t>(width), static_cast<uint32_t>(height), &scratch_layout))
      return -1;
    scratch_.resize(scratch_layout.size);
    uint8_t* planes[4] = {};
    int linesizes[4] = {};
    for (uint32_t i = 0; i < scratch_layout.planes; ++i) {
      planes[i] = scratch_.data() + scratch_layout.offset[i];
      linesizes[i] = static_cast<int>(scratch_layout.stride[i]);
    }
    const int result = source == AV_PIX_FMT_RGB24
                           ? tjDecompress2(turbo, data, bytes, planes[0], width, linesizes[0], height, TJPF_RGB, 0)
                           : tjDecompressToYUVPlanes(turbo, data, bytes, planes, width, linesizes, height, 0);
    if (result != 0 && tjGetErrorCode(turbo) != TJERR_WARNING) return result;
    if (planar_to_semiplanar(planes, linesizes, source, layout, width, height, target.planes, target.linesizes))
      return 0;
    // JPEG samples are full range in and out: no range conversion.
    scaler_ = sws_getCachedContext(scaler_, width, height, source, width, height, layout, SWS_BICUBIC, nullptr, nullptr,
                                   nullptr);
    if (scaler_ == nullptr) return -1;
    sws_scale(scaler_, planes, linesizes, 0, height, target.planes, target.linesizes);
    return 0;
  }

  kymePixelFormat output_;
  tjhandle handle_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::vector<uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<PictureCodec> make_jpeg_codec(kymePixelFormat output) { return std::make_unique<JpegCodec>(output); }

}  // namespace kyme
