// H.264 and HEVC encoding with libavcodec's x264 and x265 encoders.
#pragma once

#include <memory>

#include "encoder_codec.h"
#include "encoder_settings.h"

namespace kyme {

// 0 with `*encoder` opened, or KYME_UNSUPPORTED_CONFIG when the encoder
// refuses the settings (or is missing). `threads`: libavcodec's thread count.
uint32_t open_video_encoder(const VideoSettings& settings, int threads, std::unique_ptr<PictureEncoder>* encoder);

}  // namespace kyme
