// The configuration table of the video encoder. In an unsigned number field
// 0 and KYME_ENC_DEFAULT_PAR both leave the encoder's default (a zeroed
// record is a usable configuration); in an on/off field 0 is off, 1 on and
// KYME_ENC_DEFAULT_PAR the encoder's default.
#include "encoder_settings.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "kycore/error_codes.h"

namespace kyme {
namespace {

using kycore::KYME_INVALID_ARGUMENT;
using kycore::KYME_UNSUPPORTED_CONFIG;
using kycore::OK;

bool given(uint32_t value) { return value != 0 && value != KYME_ENC_DEFAULT_PAR; }

// -1 for the encoder's default, else 0 or 1; -2 for anything else.
int switch_of(uint32_t value) {
  if (value == KYME_ENC_DEFAULT_PAR) return -1;
  return value <= 1 ? static_cast<int>(value) : -2;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

const char* preset_of(kymeEncQualityMode mode) {
  switch (static_cast<uint32_t>(mode)) {
    case KYME_GOLD_QUALITY:
    case KYME_ENC_DEFAULT_PAR:
      return "medium";
    case KYME_SILVER_QUALITY:
      return "fast";
    case KYME_SILVER2_QUALITY:
      return "veryfast";
    case KYME_BRONZE_QUALITY:
      return "ultrafast";
    default:
      return nullptr;
  }
}

bool h264_level(uint32_t value, int* level) {
  static const uint32_t kLevels[] = {10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
  if (value == KYME_VIDEO_LVL_H264_1_b) {
    *level = 9;  // level_idc of level 1b in the High profiles
    return true;
  }
  for (const uint32_t known : kLevels) {
    if (known == value) {
      *level = static_cast<int>(value);
      return true;
    }
  }
  return false;
}

bool hevc_level(uint32_t value) {
  static const uint32_t kLevels[] = {30, 60, 63, 90, 93, 120, 123, 150, 153, 156, 180, 183, 186};
  for (const uint32_t known : kLevels) {
    if (known == value) return true;
  }
  return false;
}

// Profile and bit depth together: a 10-bit profile with the default depth
// codes 10-bit pictures; an explicit depth must suit the profile.
uint32_t plan_profile(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  const uint32_t luma = c.bitDepthLuma;
  const uint32_t chroma = c.bitDepthChroma;
  const bool luma_given = given(luma);
  if ((luma_given && luma != 8 && luma != 10) || (given(chroma) && chroma != (luma_given ? luma : 8))) {
    return KYME_INVALID_ARGUMENT;
  }
  const auto profile = static_cast<uint32_t>(c.profile);
  const char* name = nullptr;
  bool ten_bit_profile = false;
  if (s->hevc) {
    switch (profile) {
      case KYME_VIDEO_PRFL_HEVC_MAIN:
        name = "main";
        break;
      case KYME_VIDEO_PRFL_HEVC_MAIN_10:
        name = "main10";
        ten_bit_profile = true;
        break;
      case KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE:
        name = "mainstillpicture";
        break;
      case KYME_VIDEO_PRFL_HEVC_MAIN_REXT:
        return KYME_UNSUPPORTED_CONFIG;  // 4:2:0 pictures of 8 or 10 bits are Main or Main 10
      case KYME_ENC_DEFAULT_PAR:
        break;
      default:
        return KYME_INVALID_ARGUMENT;
    }
  } else {
    switch (profile) {
      case KYME_VIDEO_PRFL_H264_BASELINE:
        name = "baseline";
        break;
      case KYME_VIDEO_PRFL_H264_MAIN:
        name = "main";
        break;
      case KYME_VIDEO_PRFL_H264_HIGH:
        name = "high";
        break;
      case KYME_VIDEO_PRFL_H264_HIGH_10:
        name = "high10";
        ten_bit_profile = true;
        break;
      case 0:  // a zeroed record names no H.264 profile
      case KYME_ENC_DEFAULT_PAR:
        break;
      default:
        return KYME_INVALID_ARGUMENT;
    }
  }
  s->bit_depth = luma_given ? static_cast<int>(luma) : (ten_bit_profile ? 10 : 8);
  if (s->bit_depth == 10 && name != nullptr && !ten_bit_profile) return KYME_UNSUPPORTED_CONFIG;
  if (s->bit_depth == 8 && ten_bit_profile) return KYME_UNSUPPORTED_CONFIG;
  if (name != nullptr) s->options.emplace_back("profile", name);
  s->coding = s->bit_depth == 10 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
  s->qp_range = 51 + 6 * (s->bit_depth - 8);
  return OK;
}

uint32_t plan_level(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  const auto level = static_cast<uint32_t>(c.level);
  if (!given(level)) return OK;
  if (s->hevc) {
    if (!hevc_level(level)) return KYME_INVALID_ARGUMENT;
    s->params.emplace_back("level-idc", std::to_string(level / 3));  // 93 (3.1) is "31"
    return OK;
  }
  return h264_level(level, &s->level) ? OK : KYME_INVALID_ARGUMENT;
}

uint32_t plan_tune(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  std::string tune;
  switch (static_cast<uint32_t>(c.tune)) {
    case KYME_ENC_TUNE_PSNR:
      tune = "psnr";
      break;
    case KYME_ENC_TUNE_SSIM:
      tune = "ssim";
      break;
    case KYME_ENC_TUNE_VISUAL:
    case KYME_ENC_DEFAULT_PAR:
      break;  // the encoders' own psychovisual defaults
    case KYME_ENC_TUNE_SHARP_VISUAL:
      if (s->hevc) {
        s->params.emplace_back("deblock", "-1,-1");
      } else {
        tune = "film";
      }
      break;
    default:
      return KYME_INVALID_ARGUMENT;
  }
  const int low_latency = switch_of(c.llRc);
  if (low_latency == -2) return KYME_INVALID_ARGUMENT;
  if (low_latency == 1) {
    if (given(c.gopSize) && c.gopSize > 1) return KYME_UNSUPPORTED_CONFIG;
    if (given(c.lookaheadDepth)) return KYME_UNSUPPORTED_CONFIG;
    if (s->hevc) {
      // x265 takes one tune only: its zerolatency settings, spelt out.
      for (const char* p : {"bframes=0", "b-adapt=0", "rc-lookahead=0", "cutree=0", "frame-threads=1"}) {
        const std::string entry(p);
        const auto eq = entry.find('=');
        s->params.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
      }
    } else {
      tune = tune.empty() ? "zerolatency" : tune + ",zerolatency";
    }
  }
  if (!tune.empty()) s->options.emplace_back("tune", tune);
  return OK;
}

uint32_t plan_pictures(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  if (given(c.keyInt)) {
    if (c.keyInt > 100000) return KYME_INVALID_ARGUMENT;
    s->keyint = static_cast<int>(c.keyInt);
  }
  if (given(c.gdrDuration)) {
    if (c.gdrDuration > 100000 || (s->keyint > 0 && s->keyint != static_cast<int>(c.gdrDuration))) {
      return KYME_UNSUPPORTED_CONFIG;
    }
    s->keyint = static_cast<int>(c.gdrDuration);
    s->params.emplace_back("intra-refresh", "1");
  }
  if (given(c.gopSize)) {
    if (c.gopSize > KYME_ENC_MAX_GOP_SIZE) return KYME_INVALID_ARGUMENT;
    s->params.emplace_back("bframes", std::to_string(c.gopSize - 1));
  }
  if (given(c.lookaheadDepth)) {
    if (c.lookaheadDepth > 250) return KYME_INVALID_ARGUMENT;
    s->params.emplace_back("rc-lookahead", std::to_string(c.lookaheadDepth));
  }
  const int fixed_b = switch_of(c.P2B);
  const int pyramid = switch_of(c.bBPyramid);
  if (fixed_b == -2 || pyramid == -2) return KYME_INVALID_ARGUMENT;
  if (fixed_b == 1) s->params.emplace_back("b-adapt", "0");
  if (pyramid >= 0) {
    s->params.emplace_back("b-pyramid", s->hevc ? std::to_string(pyramid) : (pyramid == 1 ? "normal" : "none"));
  }
  // Forced IDR pictures need a closed GOP in x265 (else it writes a CRA).
  if (s->hevc) s->params.emplace_back("open-gop", "0");
  s->options.emplace_back("forced-idr", "1");
  return OK;
}

bool qp_in_range(uint32_t value, const VideoSettings& s) {
  return !given(value) || value <= static_cast<uint32_t>(s.qp_range);
}

uint32_t plan_rate(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  const int vbr = switch_of(c.vbr);
  if (vbr == -2) return KYME_INVALID_ARGUMENT;
  if (!qp_in_range(c.cqp, *s) || !qp_in_range(c.initQp, *s) || !qp_in_range(c.intraQpDelta, *s)) {
    return KYME_INVALID_ARGUMENT;
  }
  const float multiple = c.maxFrameSizeMultiple;
  if (!std::isfinite(multiple) || multiple < 0) return KYME_INVALID_ARGUMENT;
  if (given(c.cqp)) {
    if (given(c.bitRate) || vbr == 1 || c.crf > 0) return KYME_UNSUPPORTED_CONFIG;
    s->rate_control = RateControl::constant_qp;
    s->options.emplace_back("qp", std::to_string(c.cqp));
  } else if (given(c.bitRate)) {
    if (c.crf > 0) return KYME_UNSUPPORTED_CONFIG;
    s->bit_rate = c.bitRate;
    if (vbr == 1) {
      s->rate_control = RateControl::variable_bit_rate;
      if (given(c.vbvMaxRate)) {
        if (c.vbvMaxRate < c.bitRate) return KYME_UNSUPPORTED_CONFIG;
        s->max_rate = c.vbvMaxRate;
      }
    } else {
      if (given(c.vbvMaxRate) && c.vbvMaxRate != c.bitRate) return KYME_UNSUPPORTED_CONFIG;
      s->rate_control = RateControl::constant_bit_rate;
      s->max_rate = s->bit_rate;
    }
    if (given(c.vbvBufSize)) s->buffer = c.vbvBufSize;
    if (multiple > 0) {
      // No picture is larger than the VBV buffer.
      const double average = static_cast<double>(s->bit_rate) * s->rate.den / s->rate.num;
      const auto limit = static_cast<int64_t>(std::max(1.0, multiple * average));
      s->buffer = s->buffer > 0 ? std::min(s->buffer, limit) : limit;
      if (s->max_rate == 0) s->max_rate = s->bit_rate;
    }
    if (s->max_rate > 0 && s->buffer == 0) s->buffer = s->max_rate;  // one second
    if (s->buffer > 0 && s->max_rate == 0) return KYME_UNSUPPORTED_CONFIG;
  } else {
    if (vbr == 1 || given(c.vbvMaxRate) || given(c.vbvBufSize) || multiple > 0) return KYME_UNSUPPORTED_CONFIG;
    if (c.crf > s->qp_range) return KYME_INVALID_ARGUMENT;
    if (c.crf > 0) s->options.emplace_back("crf", std::to_string(c.crf));
  }
  if (given(c.intraQpDelta)) s->params.emplace_back("ipratio", number(std::pow(2.0, c.intraQpDelta / 6.0)));
  // x264 and x265 take one QP range for all pictures: the one inside both
  // ranges the configuration gives.
  const uint32_t low =
      std::max(c.qpMinI == KYME_ENC_DEFAULT_PAR ? 0 : c.qpMinI, c.qpMinPB == KYME_ENC_DEFAULT_PAR ? 0 : c.qpMinPB);
  uint32_t high = static_cast<uint32_t>(s->qp_range);
  if (given(c.qpMaxI)) high = std::min(high, c.qpMaxI);
  if (given(c.qpMaxPB)) high = std::min(high, c.qpMaxPB);
  if (!qp_in_range(c.qpMaxI, *s) || !qp_in_range(c.qpMaxPB, *s) || low > static_cast<uint32_t>(s->qp_range)) {
    return KYME_INVALID_ARGUMENT;
  }
  if (low > high) return KYME_UNSUPPORTED_CONFIG;
  if (low > 0) s->params.emplace_back("qpmin", std::to_string(low));
  if (high < static_cast<uint32_t>(s->qp_range)) s->params.emplace_back("qpmax", std::to_string(high));
  return OK;
}

uint32_t plan_quantisation(const kymeEncVideoConfiguration& c, VideoSettings* s) {
  const float strength = c.aqStrength;
  const int roi = switch_of(c.enableROI);
  if (!std::isfinite(strength) || strength > 3.0f || roi == -2) return KYME_INVALID_ARGUMENT;
  s->roi = roi == 1;
  if (strength < 0) {
    // x264 and x265 skip regions of interest without adaptive quantisation.
    if (s->roi) return KYME_UNSUPPORTED_CONFIG;
    s->params.emplace_back("aq-mode", "0");
  } else if (strength > 0 || s->roi) {
    // Presets and tunes that turn adaptive quantisation off are overridden.
    s->params.emplace_back("aq-mode", s->hevc ? "2" : "1");
    s->params.emplace_back("aq-strength", number(strength > 0 ? strength : 1.0));
  }
  return OK;
}

}  // namespace

uint32_t plan_video(kymeCodecType codec, const kymeEncVideoConfiguration& config, VideoSettings* settings) {
  if (codec != KYME_CODEC_ENC_H264 && codec != KYME_CODEC_ENC_HEVC) return KYME_INVALID_ARGUMENT;
  const kymeEncVideoConfiguration& c = config;
  if (c.width < KYME_ENC_VIDEO_MIN_WIDTH || c.width > KYME_ENC_VIDEO_MAX_WIDTH ||
      c.height < KYME_ENC_VIDEO_MIN_HEIGHT || c.height > KYME_ENC_VIDEO_MAX_HEIGHT || c.width % 2 != 0 ||
      c.height % 2 != 0 || c.frameRate.numerator == 0 || c.frameRate.denominator == 0 ||
      c.frameRate.numerator > INT32_MAX || c.frameRate.denominator > INT32_MAX) {
    return KYME_INVALID_ARGUMENT;
  }
  VideoSettings s;
  s.hevc = codec == KYME_CODEC_ENC_HEVC;
  s.width = static_cast<int>(c.width);
  s.height = static_cast<int>(c.height);
  s.rate = AVRational{static_cast<int>(c.frameRate.numerator), static_cast<int>(c.frameRate.denominator)};
  const char* preset = preset_of(c.qualityMode);
  if (preset == nullptr) return KYME_INVALID_ARGUMENT;
  s.options.emplace_back("preset", preset);
  for (auto step : {plan_profile, plan_level, plan_tune, plan_pictures, plan_rate, plan_quantisation}) {
    const uint32_t code = step(c, &s);
    if (code != OK) return code;
  }
  *settings = std::move(s);
  return OK;
}

}  // namespace kyme
