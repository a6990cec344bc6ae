// kyme: the encoder routine. Its vocabulary (enumerations, the records that
// configure a channel and a picture, the limits), its functions, then the YUV
// reader. Three records are adaptors whose Python-friendly parts (a list of
// ROIs, a text, both codec configurations) become library records only when
// a function is called; those two conversions live here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "kyme.h"
#include "kyme/media.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/record_args.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace quillon {

QUILLON_ASSERT_LAYOUT(kymeEncExternalSEI, 24, 8);
QUILLON_ASSERT_OFFSET(kymeEncExternalSEI, nalType, 0);
QUILLON_ASSERT_OFFSET(kymeEncExternalSEI, payloadType, 4);
QUILLON_ASSERT_OFFSET(kymeEncExternalSEI, payloadDataSize, 8);
QUILLON_ASSERT_OFFSET(kymeEncExternalSEI, payloadData, 16);

QUILLON_ASSERT_LAYOUT(kymeEncPictureArea, 20, 4);
QUILLON_ASSERT_OFFSET(kymeEncPictureArea, enable, 0);
QUILLON_ASSERT_OFFSET(kymeEncPictureArea, top, 4);
QUILLON_ASSERT_OFFSET(kymeEncPictureArea, left, 8);
QUILLON_ASSERT_OFFSET(kymeEncPictureArea, bottom, 12);
QUILLON_ASSERT_OFFSET(kymeEncPictureArea, right, 16);

QUILLON_ASSERT_LAYOUT(kymeEncPictureROI, 28, 4);
QUILLON_ASSERT_OFFSET(kymeEncPictureROI, area, 0);
QUILLON_ASSERT_OFFSET(kymeEncPictureROI, qpType, 20);
QUILLON_ASSERT_OFFSET(kymeEncPictureROI, qpValue, 24);

QUILLON_ASSERT_LAYOUT(kymeEncROIMap, 16, 8);
QUILLON_ASSERT_OFFSET(kymeEncROIMap, roiMapDeltaQp, 0);
QUILLON_ASSERT_OFFSET(kymeEncROIMap, roiMapDeltaQpSize, 8);

QUILLON_ASSERT_LAYOUT(kymeEncExtendedParams, 240, 8);
QUILLON_ASSERT_OFFSET(kymeEncExtendedParams, forceIDR, 0);
QUILLON_ASSERT_OFFSET(kymeEncExtendedParams, area, 8);
QUILLON_ASSERT_OFFSET(kymeEncExtendedParams, area.roi[1], 36);
QUILLON_ASSERT_OFFSET(kymeEncExtendedParams, updateBitRate, 232);
QUILLON_ASSERT_OFFSET(kymeEncExtendedParams, resetStream, 236);
static_assert(sizeof(kymeEncExtendedParams::area) == 224, "the shared area holds eight ROIs");

QUILLON_ASSERT_LAYOUT(kymeEncVideoConfiguration, 128, 4);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, profile, 0);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, level, 4);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, width, 8);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, height, 12);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, frameRate, 16);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, bitDepthLuma, 24);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, bitDepthChroma, 28);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, gopSize, 32);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, gdrDuration, 36);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, lookaheadDepth, 40);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, qualityMode, 44);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, tune, 48);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, keyInt, 52);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, crf, 56);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, cqp, 60);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, llRc, 64);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, bitRate, 68);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, initQp, 72);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, vbvBufSize, 76);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, vbvMaxRate, 80);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, intraQpDelta, 84);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, qpMinI, 88);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, qpMaxI, 92);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, qpMinPB, 96);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, qpMaxPB, 100);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, vbr, 104);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, aqStrength, 108);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, enableROI, 112);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, P2B, 116);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, bBPyramid, 120);
QUILLON_ASSERT_OFFSET(kymeEncVideoConfiguration, maxFrameSizeMultiple, 124);

QUILLON_ASSERT_LAYOUT(kymeEncJPEGConfiguration, 32, 8);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, codingWidth, 0);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, codingHeight, 4);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, frameType, 8);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, userDataLength, 12);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, userData, 16);
QUILLON_ASSERT_OFFSET(kymeEncJPEGConfiguration, losslessEn, 24);

QUILLON_ASSERT_LAYOUT(kymeEncChannelParameters, 144, 8);
QUILLON_ASSERT_OFFSET(kymeEncChannelParameters, codecType, 0);
QUILLON_ASSERT_OFFSET(kymeEncChannelParameters, outbufNum, 4);
QUILLON_ASSERT_OFFSET(kymeEncChannelParameters, enProfiling, 8);
QUILLON_ASSERT_OFFSET(kymeEncChannelParameters, config, 16);
static_assert(sizeof(kymeEncChannelParameters::config) == 128, "the configuration area is 128 bytes");

QUILLON_ASSERT_LAYOUT(kymeEncOutputOptions, 4, 4);

static_assert(sizeof(kymeEncQualityMode) == 4 && sizeof(kymeEncTuneType) == 4 && sizeof(kymeEncQPType) == 4 &&
                  sizeof(kymeEncSEINalType) == 4 && sizeof(kymeSEIPayloadType) == 4,
              "encoder enumerations cross the library boundary as 32-bit values");

// `encExtendedParams`: the library record and the ROIs, each held as its own
// Python `encPictureROI`, so that an item read from `roi` stays valid (and
// keeps its values) after a new list replaces the held ones.
struct kymeEncExtendedParamsPy : kymeEncExtendedParams {
  using library_record = kymeEncExtendedParams;
  kymeEncExtendedParamsPy() : kymeEncExtendedParams{} {}
  py::list roi;
};

// `encJPEGConfiguration`: the library record and the text its user data
// address points at during a call.
struct kymeEncJPEGConfigurationPy : kymeEncJPEGConfiguration {
  using library_record = kymeEncJPEGConfiguration;
  kymeEncJPEGConfigurationPy() : kymeEncJPEGConfiguration{} {}
  std::string text;
};

// `encChannelParamters`: the library record and both configurations side by
// side; the codec type picks the one that fills the record's area.
struct kymeEncChannelParametersPy : kymeEncChannelParameters {
  using library_record = kymeEncChannelParameters;
  kymeEncChannelParametersPy() : kymeEncChannelParameters{} {}
  kymeEncJPEGConfigurationPy jpegConfig;
  kymeEncVideoConfiguration videoConfig{};
};

namespace {

// Channel parameters to library record. The user data address points into
// `parameters`, which outlives the call.
kymeEncChannelParameters channel_parameters_to_library(const kymeEncChannelParametersPy& parameters) {
  kymeEncChannelParameters record{};
  record.codecType = parameters.codecType;
  record.outbufNum = parameters.outbufNum;
  record.enProfiling = parameters.enProfiling;
  if (parameters.codecType == KYME_CODEC_ENC_JPEG) {
    const kymeEncJPEGConfigurationPy& jpeg = parameters.jpegConfig;
    record.config.jpeg.codingWidth = jpeg.codingWidth;
    record.config.jpeg.codingHeight = jpeg.codingHeight;
    record.config.jpeg.frameType = jpeg.frameType;
    record.config.jpeg.losslessEn = jpeg.losslessEn;
    record.config.jpeg.userData = jpeg.text.c_str();
    record.config.jpeg.userDataLength = static_cast<uint32_t>(jpeg.text.size() + 1);
  } else {
    record.config.video = parameters.videoConfig;
  }
  return record;
}

// Extended parameters to library record: the adaptor's record whole, then
// the ROIs over the start of the shared area (at most eight, as assignment
// ensures).
kymeEncExtendedParams extended_parameters_to_library(const kymeEncExtendedParamsPy& parameters) {
  kymeEncExtendedParams record = parameters;
  std::size_t index = 0;
  for (const py::handle item : parameters.roi) {
    if (index == KYME_ENC_MAX_ROI_NUM) break;
    record.area.roi[index++] = item.cast<const kymeEncPictureROI&>();
  }
  return record;
}

void assign_rois(kymeEncExtendedParamsPy& parameters, const std::vector<kymeEncPictureROI>& rois) {
  if (rois.size() > KYME_ENC_MAX_ROI_NUM) {
    throw py::value_error("encExtendedParams.roi: at most " + std::to_string(KYME_ENC_MAX_ROI_NUM) +
                          " regions of interest, got " + std::to_string(rois.size()));
  }
  py::list held;
  for (const kymeEncPictureROI& roi : rois) held.append(py::cast(roi));
  parameters.roi = held;
}

uint32_t create_channel(const kymeEncChannelParametersPy* parameters, uint32_t channel) {
  kymeEncChannelParameters record =
      channel_parameters_to_library(require_record(parameters, "createEncoderChannel", "encChannelParamters"));
  return kymeCreateEncoderChannel(&record, channel);
}

uint32_t send_frame(uint32_t channel, const kymeFramePy* frame, const kymeEncExtendedParamsPy* parameters,
                    uint32_t timeout) {
  kymeFrame local = frame_to_library(require_record(frame, "sendFrameToEncoder", "frame"));
  kymeEncExtendedParams local_parameters{};
  if (parameters != nullptr) local_parameters = extended_parameters_to_library(*parameters);
  return unlocked([&] {
    return kymeSendFrameToEncoder(channel, &local, parameters != nullptr ? &local_parameters : nullptr, timeout);
  });
}

uint32_t receive_stream(uint32_t channel, kymeStream* stream, uint32_t timeout) {
  return kymeReceiveStreamFromEncoder(channel, &require_record(stream, "receiveStreamFromEncoder", "stream"), timeout);
}

uint32_t jpeg_sync_encode(uint32_t channel, const kymeFramePy* frame, kymeStream* stream,
                          const kymeEncExtendedParamsPy* parameters, uint32_t timeout) {
  kymeFrame local = frame_to_library(require_record(frame, "jpegSyncEncoder", "frame"));
  kymeStream& output = require_record(stream, "jpegSyncEncoder", "stream");
  kymeEncExtendedParams local_parameters{};
  if (parameters != nullptr) local_parameters = extended_parameters_to_library(*parameters);
  return kymeJpegSyncEncoder(channel, &local, &output, parameters != nullptr ? &local_parameters : nullptr, timeout);
}

uint32_t release_stream(uint32_t channel, kymeStream* stream, uint32_t timeout) {
  return kymeEncReleaseStream(channel, &require_record(stream, "encReleaseStream", "stream"), timeout);
}

void register_enums(py::module_& m) {
  register_enum<kymeEncQualityMode>(m, "encQualityMode",
                                    {{"KYME_GOLD_QUALITY", KYME_GOLD_QUALITY},
                                     {"KYME_SILVER_QUALITY", KYME_SILVER_QUALITY},
                                     {"KYME_SILVER2_QUALITY", KYME_SILVER2_QUALITY},
                                     {"KYME_BRONZE_QUALITY", KYME_BRONZE_QUALITY}});
  register_enum<kymeEncTuneType>(m, "encTuneType",
                                 {{"KYME_ENC_TUNE_PSNR", KYME_ENC_TUNE_PSNR},
                                  {"KYME_ENC_TUNE_SSIM", KYME_ENC_TUNE_SSIM},
                                  {"KYME_ENC_TUNE_VISUAL", KYME_ENC_TUNE_VISUAL},
                                  {"KYME_ENC_TUNE_SHARP_VISUAL", KYME_ENC_TUNE_SHARP_VISUAL}});
  register_enum<kymeEncQPType>(m, "encQPType",
                               {{"KYME_ENC_QP", KYME_ENC_QP}, {"KYME_ENC_QP_DELTA", KYME_ENC_QP_DELTA}});
  register_enum<kymeEncSEINalType>(
      m, "encSEINalType", {{"KYME_ENC_SEI_PREFIX", KYME_ENC_SEI_PREFIX}, {"KYME_ENC_SEI_SUFFIX", KYME_ENC_SEI_SUFFIX}});
  register_enum<kymeSEIPayloadType>(m, "encSEIPayloadType",
                                    {{"KYME_SEI_BUFFERING_PERIOD", KYME_SEI_BUFFERING_PERIOD},
                                     {"KYME_SEI_USER_DATA_UNREGISTERED", KYME_SEI_USER_DATA_UNREGISTERED}});
}

void register_records(py::module_& m) {
  class_<kymeEncExternalSEI>(m, "encExternalSEI")
      .def(py::init([] { return kymeEncExternalSEI{}; }))
      .def_readwrite("nalType", &kymeEncExternalSEI::nalType)
      .def_readwrite("payloadDataSize", &kymeEncExternalSEI::payloadDataSize);

  class_<kymeEncPictureArea>(m, "encPictureArea")
      .def(py::init([] { return kymeEncPictureArea{}; }))
      .def_readwrite("enable", &kymeEncPictureArea::enable)
      .def_readwrite("top", &kymeEncPictureArea::top)
      .def_readwrite("left", &kymeEncPictureArea::left)
      .def_readwrite("bottom", &kymeEncPictureArea::bottom)
      .def_readwrite("right", &kymeEncPictureArea::right);

  class_<kymeEncPictureROI>(m, "encPictureROI")
      .def(py::init([] { return kymeEncPictureROI{}; }))
      .def_readwrite("area", &kymeEncPictureROI::area)
      .def_readwrite("qpType", &kymeEncPictureROI::qpType)
      .def_readwrite("qpValue", &kymeEncPictureROI::qpValue);

  class_<kymeEncROIMap>(m, "encROIMap")
      .def(py::init([] { return kymeEncROIMap{}; }))
      .def_readwrite("roiMapDeltaQpSize", &kymeEncROIMap::roiMapDeltaQpSize);

  class_<kymeEncExtendedParamsPy>(m, "encExtendedParams")
      .def(py::init<>())
      .def_readwrite("forceIDR", &kymeEncExtendedParamsPy::forceIDR)
      .def_property(
          "roi", [](const kymeEncExtendedParamsPy& p) { return py::list(p.roi.attr("copy")()); }, &assign_rois)
      .def_property(
          "roiMap", [](kymeEncExtendedParamsPy& p) -> kymeEncROIMap& { return p.area.roiMap; },
          [](kymeEncExtendedParamsPy& p, const kymeEncROIMap& map) { p.area.roiMap = map; },
          py::return_value_policy::reference_internal)
      .def_readwrite("updateBitRate", &kymeEncExtendedParamsPy::updateBitRate)
      .def_readwrite("resetStream", &kymeEncExtendedParamsPy::resetStream);

  class_<kymeEncVideoConfiguration>(m, "encVideoConfiguration")
      .def(py::init([] { return kymeEncVideoConfiguration{}; }))
      .def_readwrite("profile", &kymeEncVideoConfiguration::profile)
      .def_readwrite("level", &kymeEncVideoConfiguration::level)
      .def_readwrite("width", &kymeEncVideoConfiguration::width)
      .def_readwrite("height", &kymeEncVideoConfiguration::height)
      .def_readwrite("frameRate", &kymeEncVideoConfiguration::frameRate)
      .def_readwrite("bitDepthLuma", &kymeEncVideoConfiguration::bitDepthLuma)
      .def_readwrite("bitDepthChroma", &kymeEncVideoConfiguration::bitDepthChroma)
      .def_readwrite("gopSize", &kymeEncVideoConfiguration::gopSize)
      .def_readwrite("gdrDuration", &kymeEncVideoConfiguration::gdrDuration)
      .def_readwrite("lookaheadDepth", &kymeEncVideoConfiguration::lookaheadDepth)
      .def_readwrite("qualityMode", &kymeEncVideoConfiguration::qualityMode)
      .def_readwrite("tune", &kymeEncVideoConfiguration::tune)
      .def_readwrite("keyInt", &kymeEncVideoConfiguration::keyInt)
      .def_readwrite("crf", &kymeEncVideoConfiguration::crf)
      .def_readwrite("cqp", &kymeEncVideoConfiguration::cqp)
      .def_readwrite("llRc", &kymeEncVideoConfiguration::llRc)
      .def_readwrite("bitRate", &kymeEncVideoConfiguration::bitRate)
      .def_readwrite("initQp", &kymeEncVideoConfiguration::initQp)
      .def_readwrite("vbvBufSize", &kymeEncVideoConfiguration::vbvBufSize)
      .def_readwrite("vbvMaxRate", &kymeEncVideoConfiguration::vbvMaxRate)
      .def_readwrite("intraQpDelta", &kymeEncVideoConfiguration::intraQpDelta)
      .def_readwrite("qpMinI", &kymeEncVideoConfiguration::qpMinI)
      .def_readwrite("qpMaxI", &kymeEncVideoConfiguration::qpMaxI)
      .def_readwrite("qpMinPB", &kymeEncVideoConfiguration::qpMinPB)
      .def_readwrite("qpMaxPB", &kymeEncVideoConfiguration::qpMaxPB)
      .def_readwrite("vbr", &kymeEncVideoConfiguration::vbr)
      .def_readwrite("aqStrength", &kymeEncVideoConfiguration::aqStrength)
      .def_readwrite("enableROI", &kymeEncVideoConfiguration::enableROI)
      .def_readwrite("P2B", &kymeEncVideoConfiguration::P2B)
      .def_readwrite("bBPyramid", &kymeEncVideoConfiguration::bBPyramid)
      .def_readwrite("maxFrameSizeMultiple", &kymeEncVideoConfiguration::maxFrameSizeMultiple);

  class_<kymeEncJPEGConfigurationPy>(m, "encJPEGConfiguration")
      .def(py::init<>())
      .def_readwrite("codingWidth", &kymeEncJPEGConfigurationPy::codingWidth)
      .def_readwrite("codingHeight", &kymeEncJPEGConfigurationPy::codingHeight)
      .def_readwrite("frameType", &kymeEncJPEGConfigurationPy::frameType)
      .def_readwrite("losslessEn", &kymeEncJPEGConfigurationPy::losslessEn)
      .def_readwrite("userData", &kymeEncJPEGConfigurationPy::text);

  class_<kymeEncChannelParametersPy>(m, "encChannelParamters")
      .def(py::init<>())
      .def_readwrite("codecType", &kymeEncChannelParametersPy::codecType)
      .def_readwrite("outbufNum", &kymeEncChannelParametersPy::outbufNum)
      .def_readwrite("enProfiling", &kymeEncChannelParametersPy::enProfiling)
      .def_readwrite("jpegConfig", &kymeEncChannelParametersPy::jpegConfig)
      .def_readwrite("videoConfig", &kymeEncChannelParametersPy::videoConfig);

  class_<kymeEncOutputOptions>(m, "encOutputOptions")
      .def(py::init([] { return kymeEncOutputOptions{}; }))
      .def_readonly("reserved", &kymeEncOutputOptions::reserved);
}

void register_constants(py::module_& m) {
  m.attr("KYME_ENC_MAX_STRM_BUF_NUM") = KYME_ENC_MAX_STRM_BUF_NUM;
  m.attr("KYME_ENC_MAX_REF_FRAMES") = KYME_ENC_MAX_REF_FRAMES;
  m.attr("KYME_ENC_MAX_GOP_SIZE") = KYME_ENC_MAX_GOP_SIZE;
  m.attr("KYME_ENC_MAX_LTR_FRAMES") = KYME_ENC_MAX_LTR_FRAMES;
  m.attr("KYME_ENC_MAX_ROI_NUM") = KYME_ENC_MAX_ROI_NUM;
  m.attr("KYME_ENC_DEFAULT_PAR") = static_cast<uint32_t>(KYME_ENC_DEFAULT_PAR);
  m.attr("KYME_ENC_VIDEO_MAX_HEIGHT") = KYME_ENC_VIDEO_MAX_HEIGHT;
  m.attr("KYME_ENC_VIDEO_MAX_WIDTH") = KYME_ENC_VIDEO_MAX_WIDTH;
  m.attr("KYME_ENC_VIDEO_MIN_HEIGHT") = KYME_ENC_VIDEO_MIN_HEIGHT;
  m.attr("KYME_ENC_VIDEO_MIN_WIDTH") = KYME_ENC_VIDEO_MIN_WIDTH;
  m.attr("KYME_ENC_JPEG_MAX_HEIGHT") = KYME_ENC_JPEG_MAX_HEIGHT;
  m.attr("KYME_ENC_JPEG_MAX_WIDTH") = KYME_ENC_JPEG_MAX_WIDTH;
  m.attr("KYME_ENC_JPEG_MIN_HEIGHT") = KYME_ENC_JPEG_MIN_HEIGHT;
  m.attr("KYME_ENC_JPEG_MIN_WIDTH") = KYME_ENC_JPEG_MIN_WIDTH;
  m.attr("KYME_ENC_MAX_OUTBUF_NUM") = KYME_ENC_MAX_OUTBUF_NUM;
}

void register_functions(py::module_& m) {
  m.def("createEncoderChannel", &create_channel, "Create an encoder channel.");
  m.def("destroyEncoderChannel", &kymeDestoryEncoderChannel, "Destroy an encoder channel.");
  m.def("startEncoder", &kymeStartEncoder, "Start the encoder.");
  m.def("resetEncoder", &kymeResetEncoder, "Restart the encoder.");
  m.def("stopEncoder", &kymeStopEncoder, "Stop the encoder.");
  m.def("sendFrameToEncoder", &send_frame, "Send a frame to Encoder to encode.");
  m.def("receiveStreamFromEncoder", &receive_stream, "Receive a stream from Encoder.");
  m.def("jpegSyncEncoder", &jpeg_sync_encode, "Jpeg Encode Sync api.");
  m.def("encReleaseStream", &release_stream,
        "Release the kyme stream whose content filled by kymeReceiveStreamFromEncoder.");
  m.def(
      "getEncoderAvailableChannels",
      [] {
        uint32_t count = 0;
        check(kymeGetEncoderAvailableChannels(&count), "get encoder available channels, ret: %d.");
        return count;
      },
      "Get the Encoder available channels.");
}

}  // namespace

void register_encoder(py::module_& m) {
  register_enums(m);
  register_records(m);
  register_constants(m);
  register_functions(m);
  register_yuv_reader(m);
}

}  // namespace quillon
