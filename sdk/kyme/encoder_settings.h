// How a video encoder channel's configuration maps onto libavcodec's x264
// and x265 encoders: checked once, at channel creation, into the options an
// encoder is opened with. The encoder's table in docs/kyme.md is the
// contract.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kyme.h"

namespace kyme {

enum class RateControl : uint8_t { crf, constant_qp, constant_bit_rate, variable_bit_rate };

struct VideoSettings {
  bool hevc = false;
  int width = 0;
  int height = 0;
  AVRational rate{0, 1};  // pictures per second
  int bit_depth = 8;
  AVPixelFormat coding = AV_PIX_FMT_YUV420P;  // what the encoder is opened with
  int level = 0;                              // H.264 level_idc, 0: chosen by the encoder
  int keyint = -1;                            // -1: the encoder's default
  RateControl rate_control = RateControl::crf;
  int64_t bit_rate = 0;  // bits per second
  int64_t max_rate = 0;
  int64_t buffer = 0;  // VBV buffer, bits
  bool roi = false;
  int qp_range = 51;  // the largest QP of the bit depth
  // Options of libavcodec's wrapper (preset, tune, profile, crf, qp, ...),
  // then entries of its x264-params or x265-params dictionary.
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::pair<std::string, std::string>> params;
};

// 0 with `settings` filled, or KYME_INVALID_ARGUMENT (a value out of its
// range) or KYME_UNSUPPORTED_CONFIG (values the encoder cannot combine).
uint32_t plan_video(kymeCodecType codec, const kymeEncVideoConfiguration& config, VideoSettings* settings);

}  // namespace kyme
