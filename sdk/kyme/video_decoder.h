// H.264 and HEVC decoding with libavcodec, fed with bytes cut anywhere: its
// parser finds the pictures.
#pragma once

#include <functional>
#include <memory>

#include "kyme.h"
#include "picture_codec.h"

namespace kyme {

// libavcodec's thread count for a stream about to start (0: as many as
// processors); asked again at the start of each stream.
using ThreadCount = std::function<int()>;

// Null when the codec type is not a video decoder or libavcodec lacks it.
std::unique_ptr<PictureCodec> make_video_codec(kymeCodecType codec, kymePixelFormat output, kymeDecMode mode,
                                               ThreadCount threads);

// Size, crop, frame rate and format of the stream's first sequence, decoded
// from its first picture (kymeER_RSLT_WARN_MORE_DATA when the bytes hold
// none).
uint32_t probe_video(kymeCodecType codec, const uint8_t* data, std::size_t size, kymeDecVideoInfo* info);

}  // namespace kyme
