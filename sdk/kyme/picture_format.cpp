// Format names and packed picture layouts.
#include "picture_format.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

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

}  // namespace kyme
