// The pixel formats of decoded pictures: the media engine's names, the
// codec library's, and how a picture of each is laid out in one block.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <array>
#include <cstdint>

#include "kyme.h"

namespace kyme {

// The codec library's format for a media engine format; AV_PIX_FMT_NONE when
// the decoder cannot give that format.
AVPixelFormat to_av_format(kymePixelFormat format);
// The media engine's name of a format the codecs produce; KYME_PIX_FMT_NONE
// when it has none.
kymePixelFormat from_av_format(AVPixelFormat format);

// A picture packed in one block: planes one after another, rows without
// padding, so that the block read from its start is the raw picture.
struct PictureLayout {
  std::array<uint64_t, KYME_MAX_VIDEO_PLANE> offset{};
  std::array<uint32_t, KYME_MAX_VIDEO_PLANE> stride{};
  uint32_t planes = 0;
  uint64_t size = 0;
};

// False when the format or size cannot be laid out.
bool layout_picture(AVPixelFormat format, uint32_t width, uint32_t height, PictureLayout* layout);

// A yuv420p picture written as NV12 or NV21: the luma rows copied, the
// chroma rows interleaved, the samples unchanged (what libswscale's unscaled
// conversion gives, without its pass over the picture). Full-range yuvj420p
// is not taken: libswscale changes its range on the way to NV12.
// False, with nothing written, for any other pair of formats.
bool planar_to_semiplanar(const uint8_t* const planes[], const int linesizes[], AVPixelFormat source,
                          AVPixelFormat target, int width, int height, uint8_t* const out[], const int out_linesizes[]);

// Whether a picture decoded as `decoded` is written as `layout` without
// libswscale: as it is, or by planar_to_semiplanar.
bool copies_directly(AVPixelFormat decoded, AVPixelFormat layout);
// `frame` written into `out` as `layout` that way; false, with nothing
// written, when copies_directly says no.
bool copy_directly(const AVFrame* frame, AVPixelFormat layout, uint8_t* out[4], int out_linesizes[4]);

}  // namespace kyme
