// Format names and packed picture layouts.
#include "picture_format.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstddef>
#include <utility>

namespace kyme {
namespace {

constexpr std::pair<kymePixelFormat, AVPixelFormat> kFormats[] = {
    {KYME_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P},
    {KYME_PIX_FMT_YUV444P, AV_PIX_FMT_YUV444P},
    {KYME_PIX_FMT_YUV422P, AV_PIX_FMT_YUV422P},
    {KYME_PIX_FMT_YUV420P9, AV_PIX_FMT_YUV420P9LE},
    {KYME_PIX_FMT_YUV422P9, AV_PIX_FMT_YUV422P9LE},
    {KYME_PIX_FMT_YUV444P9, AV_PIX_FMT_YUV444P9LE},
    {KYME_PIX_FMT_YUV420P10, AV_PIX_FMT_YUV420P10LE},
    {KYME_PIX_FMT_YUV422P10, AV_PIX_FMT_YUV422P10LE},
    {KYME_PIX_FMT_YUV444P10, AV_PIX_FMT_YUV444P10LE},
    {KYME_PIX_FMT_YUV420P12, AV_PIX_FMT_YUV420P12LE},
    {KYME_PIX_FMT_YUV422P12, AV_PIX_FMT_YUV422P12LE},
    {KYME_PIX_FMT_YUV444P12, AV_PIX_FMT_YUV444P12LE},
    {KYME_PIX_FMT_NV12, AV_PIX_FMT_NV12},
    {KYME_PIX_FMT_NV21, AV_PIX_FMT_NV21},
    {KYME_PIX_FMT_GRAY8, AV_PIX_FMT_GRAY8},
    {KYME_PIX_FMT_GRAY9, AV_PIX_FMT_GRAY9LE},
    {KYME_PIX_FMT_GRAY10, AV_PIX_FMT_GRAY10LE},
    {KYME_PIX_FMT_GRAY12, AV_PIX_FMT_GRAY12LE},
    {KYME_PIX_FMT_RGB24, AV_PIX_FMT_RGB24},
    {KYME_PIX_FMT_BGR24, AV_PIX_FMT_BGR24},
    {KYME_PIX_FMT_ARGB, AV_PIX_FMT_ARGB},
    {KYME_PIX_FMT_RGBA, AV_PIX_FMT_RGBA},
    {KYME_PIX_FMT_ABGR, AV_PIX_FMT_ABGR},
    {KYME_PIX_FMT_BGRA, AV_PIX_FMT_BGRA},
    // I010 is planar 10-bit in 16-bit little-endian words; P010 keeps the
    // samples in the high bits of each word, chroma interleaved.
    {KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010, AV_PIX_FMT_YUV420P10LE},
    {KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010, AV_PIX_FMT_P010LE},
};

}  // namespace

AVPixelFormat to_av_format(kymePixelFormat format) {
  for (const auto& [ours, theirs] : kFormats) {
    if (ours == format) return theirs;
  }
  return AV_PIX_FMT_NONE;
}

kymePixelFormat from_av_format(AVPixelFormat format) {
  // Full-range JPEG formats are the same layouts.
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return KYME_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return KYME_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return KYME_PIX_FMT_YUV444P;
    default:
      break;
  }
  for (const auto& [ours, theirs] : kFormats) {
    if (theirs == format) return ours;
  }
  return KYME_PIX_FMT_NONE;
}

bool layout_picture(AVPixelFormat format, uint32_t width, uint32_t height, PictureLayout* layout) {
  if (format == AV_PIX_FMT_NONE || width == 0 || height == 0 || width > 65536 || height > 65536) return false;
  int linesizes[4] = {};
  if (av_image_fill_linesizes(linesizes, format, static_cast<int>(width)) < 0) return false;
  ptrdiff_t strides[4] = {linesizes[0], linesizes[1], linesizes[2], linesizes[3]};
  size_t plane_sizes[4] = {};
  if (av_image_fill_plane_sizes(plane_sizes, format, static_cast<int>(height), strides) < 0) return false;
  PictureLayout out;
  uint64_t offset = 0;
  for (uint32_t i = 0; i < KYME_MAX_VIDEO_PLANE && plane_sizes[i] > 0; ++i) {
    out.offset[i] = offset;
    out.stride[i] = static_cast<uint32_t>(linesizes[i]);
    offset += plane_sizes[i];
    out.planes = i + 1;
  }
  if (plane_sizes[3] > 0 || offset > UINT32_MAX) return false;  // no format with a fourth plane is offered
  out.size = offset;
  *layout = out;
  return true;
}

namespace {

// out = a0 b0 a1 b1 ...
void interleave_row(const uint8_t* a, const uint8_t* b, uint8_t* out, int count) {
  int x = 0;
#ifdef __SSE2__
  for (; x + 16 <= count; x += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm_unpacklo_epi8(va, vb));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16), _mm_unpackhi_epi8(va, vb));
  }
#endif
  for (; x < count; ++x) {
    out[2 * x] = a[x];
    out[2 * x + 1] = b[x];
  }
}

}  // namespace

bool planar_to_semiplanar(const uint8_t* const planes[], const int linesizes[], AVPixelFormat source,
                          AVPixelFormat target, int width, int height, uint8_t* const out[],
                          const int out_linesizes[]) {
  if (source != AV_PIX_FMT_YUV420P || (target != AV_PIX_FMT_NV12 && target != AV_PIX_FMT_NV21) || width <= 0 ||
      height <= 0) {
    return false;
  }
  av_image_copy_plane(out[0], out_linesizes[0], planes[0], linesizes[0], width, height);
  const int first = target == AV_PIX_FMT_NV12 ? 1 : 2;  // NV12: U then V; NV21: V then U
  const int second = 3 - first;
  const int chroma_width = (width + 1) / 2;
  for (std::ptrdiff_t y = 0; y < (height + 1) / 2; ++y) {
    interleave_row(planes[first] + y * linesizes[first], planes[second] + y * linesizes[second],
                   out[1] + y * out_linesizes[1], chroma_width);
  }
  return true;
}

bool copies_directly(AVPixelFormat decoded, AVPixelFormat layout) {
  return layout == decoded ||
         (decoded == AV_PIX_FMT_YUV420P && (layout == AV_PIX_FMT_NV12 || layout == AV_PIX_FMT_NV21));
}

bool copy_directly(const AVFrame* frame, AVPixelFormat layout, uint8_t* out[4], int out_linesizes[4]) {
  const auto decoded = static_cast<AVPixelFormat>(frame->format);
  if (layout == decoded) {
    av_image_copy(out, out_linesizes, const_cast<const uint8_t**>(frame->data), frame->linesize, layout, frame->width,
                  frame->height);
    return true;
  }
  return planar_to_semiplanar(frame->data, frame->linesize, decoded, layout, frame->width, frame->height, out,
                              out_linesizes);
}

}  // namespace kyme
