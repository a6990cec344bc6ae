// kyme: the decoder routine. Its records, constants and functions, then the
// stream readers. Sending and receiving release the interpreter lock during
// the library call only, so one thread can feed a channel while another
// receives from it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "kyme.h"
#include "kyme/decoder_frames.h"
#include "kyme/media.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/host_read.h"
#include "quillon/record_args.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace quillon {

QUILLON_ASSERT_LAYOUT(kymeDecChannelParameters, 28, 4);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, codecType, 0);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, sourceMode, 4);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, decodeMode, 8);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, pixelFormat, 12);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, extraBufferNumber, 16);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, enProfiling, 20);
QUILLON_ASSERT_OFFSET(kymeDecChannelParameters, enableMC, 24);

QUILLON_ASSERT_LAYOUT(kymeDecStreamInfo, 16, 4);
QUILLON_ASSERT_OFFSET(kymeDecStreamInfo, width, 0);
QUILLON_ASSERT_OFFSET(kymeDecStreamInfo, height, 4);
QUILLON_ASSERT_OFFSET(kymeDecStreamInfo, fps, 8);
QUILLON_ASSERT_OFFSET(kymeDecStreamInfo, pixelSize, 12);

QUILLON_ASSERT_LAYOUT(kymeDecJpegInfo, 24, 4);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, width, 0);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, height, 4);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, x_density, 8);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, y_density, 12);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, outputFormat, 16);
QUILLON_ASSERT_OFFSET(kymeDecJpegInfo, codingMode, 20);

QUILLON_ASSERT_LAYOUT(kymeDecStatus, 32, 4);
QUILLON_ASSERT_OFFSET(kymeDecStatus, state, 0);
QUILLON_ASSERT_OFFSET(kymeDecStatus, hardwareID, 4);
QUILLON_ASSERT_OFFSET(kymeDecStatus, result, 12);
QUILLON_ASSERT_OFFSET(kymeDecStatus, runningFrames, 16);
QUILLON_ASSERT_OFFSET(kymeDecStatus, reorderedFrames, 20);
QUILLON_ASSERT_OFFSET(kymeDecStatus, bufferedFrames, 24);
QUILLON_ASSERT_OFFSET(kymeDecStatus, droppedFrames, 28);

QUILLON_ASSERT_LAYOUT(kymeDecOutputOptions, 8, 4);
QUILLON_ASSERT_OFFSET(kymeDecOutputOptions, memoryType, 0);
QUILLON_ASSERT_OFFSET(kymeDecOutputOptions, enableCrop, 4);

QUILLON_ASSERT_LAYOUT(kymeDecVideoInfo, 40, 4);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, width, 0);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, height, 4);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, cropFlag, 8);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, cropWidth, 12);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, cropHeight, 16);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, xOffset, 20);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, yOffset, 24);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, fps, 28);
QUILLON_ASSERT_OFFSET(kymeDecVideoInfo, pixelFormat, 36);

QUILLON_ASSERT_LAYOUT(kymeJpegDecCapability, 200, 4);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, maxWidth, 0);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, maxHeight, 4);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, minWidth, 8);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, minHeight, 12);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, codingMode, 16);
QUILLON_ASSERT_OFFSET(kymeJpegDecCapability, pixelFormats, 108);

QUILLON_ASSERT_LAYOUT(kymeVideoDecCapability, 116, 4);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, bitDepth, 0);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, maxWidth, 4);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, maxHeight, 8);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, minWidth, 12);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, minHeight, 14);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, maxProFile, 16);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, maxLevel, 20);
QUILLON_ASSERT_OFFSET(kymeVideoDecCapability, pixelFormats, 24);

static_assert(sizeof(kymeDecMode) == 4, "decode modes cross the library boundary as 32-bit values");

// `jpegDecCapability`: the library record and the lists the capability
// copies append to.
struct kymeJpegDecCapabilityPy : kymeJpegDecCapability {
  kymeJpegDecCapabilityPy() : kymeJpegDecCapability{} {}
  std::vector<kymeJpegCodingMode> codingModeList;
  std::vector<kymePixelFormat> pixelFormatList;
};

// `videoDecCapability`.
struct kymeVideoDecCapabilityPy : kymeVideoDecCapability {
  kymeVideoDecCapabilityPy() : kymeVideoDecCapability{} {}
  std::vector<kymePixelFormat> pixelFormatList;
};

namespace {

// A stream with a length but no address is a caller's mistake worth naming;
// whether the bytes are readable is the library's to check (it returns its
// code), since only it knows device memory from host memory.
void require_stream_bytes(const kymeStream& stream, const char* function) {
  if (stream.length != 0 && stream.data == nullptr) {
    throw py::value_error(std::string(function) + ": the stream has no data address but a length of " +
                          std::to_string(stream.length) + " bytes");
  }
}

// What keeps a stream's bytes alive (the reader or array that filled it),
// held for the time the interpreter lock is released, so another thread
// cannot free them under the library.
py::list owners_of(kymeStream& stream) {
  py::list owners;
  py::object object = python_object_of(stream);
  const auto& patients = py::detail::get_internals().patients;
  const auto found = patients.find(object.ptr());
  if (found != patients.end()) {
    for (PyObject* owner : found->second) owners.append(py::reinterpret_borrow<py::object>(owner));
  }
  return owners;
}

uint32_t send_stream(uint32_t channel, kymeStream* stream, uint32_t timeout) {
  kymeStream& s = require_record(stream, "sendStreamToDecoder", "stream");
  require_stream_bytes(s, "sendStreamToDecoder");
  py::list owners = owners_of(s);
  kymeStream local = s;
  return unlocked([&] { return kymeSendStreamToDecoder(channel, &local, timeout); }, owners);
}

uint32_t receive_frame(uint32_t channel, kymeFramePy* frame, const kymeDecOutputOptions* options, uint32_t timeout) {
  kymeFramePy& output = require_record(frame, "receiveFrameFromDecoder", "frame");
  kymeDecOutputOptions local_options = options != nullptr ? *options : kymeDecOutputOptions{};
  kymeFrame local{};
  const uint32_t code = unlocked([&] {
    return kymeReceiveFrameFromDecoder(channel, &local, options != nullptr ? &local_options : nullptr, timeout);
  });
  if (code == 0) {
    frame_from_library(local, output);
    DecoderFrames::instance().filled(output, channel);
  }
  return code;
}

uint32_t jpeg_sync_decode(uint32_t channel, const std::string& path, kymeFramePy* frame, uint32_t timeout) {
  kymeFramePy& output = require_record(frame, "jpegSyncDecoder", "frame");
  jpeg::FileBuffer buffer;
  kymeStream stream{};
  stream.length = static_cast<uint32_t>(load_jpeg_file(path, buffer));
  stream.data = buffer.data();
  kymeFrame local{};
  const uint32_t code = kymeJpegSyncDecoder(channel, &stream, &local, timeout);
  if (code == 0) {
    frame_from_library(local, output);
    DecoderFrames::instance().filled(output, channel);
  }
  return code;
}

uint32_t transfer_frame(uint32_t channel, kymeFramePy* frame, bool flag) {
  kymeFramePy& target = require_record(frame, "transferFrameFromDecoder", "frame");
  target.data.clear();
  kymeFrame local = frame_to_library(target);
  const uint32_t code = kymeTransferFrameFromDecoder(channel, &local, flag ? 1 : 0);
  if (code == 0) {
    frame_from_library(local, target);
    DecoderFrames::instance().filled(target, channel);
  }
  return code;
}

uint32_t release_frame(uint32_t channel, kymeFramePy* frame, uint32_t timeout) {
  kymeFramePy& target = require_record(frame, "decReleaseFrame", "frame");
  kymeFrame local = frame_to_library(target);
  const uint32_t code = kymeDecReleaseFrame(channel, &local, timeout);
  if (code == 0) DecoderFrames::instance().released(target);
  return code;
}

uint32_t destroy_channel(uint32_t channel) {
  const uint32_t code = kymeDestoryDecoderChannel(channel);
  if (code == 0) DecoderFrames::instance().channel_gone(channel);
  return code;
}

uint32_t jpeg_info(const std::string& path, kymeDecJpegInfo* info) {
  kymeDecJpegInfo& target = require_record(info, "getJpegInfo", "decJpegInfo");
  jpeg::FileBuffer buffer;
  kymeStream stream{};
  stream.length = static_cast<uint32_t>(load_jpeg_file(path, buffer));
  stream.data = buffer.data();
  return kymeGetJpegInfo(&stream, &target);
}

uint32_t video_info(kymeStream* stream, kymeCodecType codec, kymeDecVideoInfo* info) {
  kymeStream& s = require_record(stream, "getVideoInfo", "stream");
  require_stream_bytes(s, "getVideoInfo");
  return kymeGetVideoInfo(&s, codec, &require_record(info, "getVideoInfo", "decVideoInfo"));
}

uint32_t jpeg_caps(kymeJpegDecCapabilityPy* caps) {
  kymeJpegDecCapabilityPy& target = require_record(caps, "jpegDecGetCaps", "jpegDecCapability");
  kymeJpegDecCapability local{};
  const uint32_t code = kymeJpegDecGetCaps(&local);
  if (code != 0) return code;
  target.maxWidth = local.maxWidth;
  target.maxHeight = local.maxHeight;
  target.minWidth = local.minWidth;
  target.minHeight = local.minHeight;
  target.codingModeList.insert(target.codingModeList.end(), std::begin(local.codingMode), std::end(local.codingMode));
  target.pixelFormatList.insert(target.pixelFormatList.end(), std::begin(local.pixelFormats),
                                std::end(local.pixelFormats));
  return code;
}

uint32_t video_caps(kymeCodecType codec, kymeVideoDecCapabilityPy* caps) {
  kymeVideoDecCapabilityPy& target = require_record(caps, "videoDecGetCaps", "videoDecCapability");
  kymeVideoDecCapability local{};
  const uint32_t code = kymeVideoDecGetCaps(codec, &local);
  if (code != 0) return code;
  target.bitDepth = local.bitDepth;
  target.maxWidth = local.maxWidth;
  target.maxHeight = local.maxHeight;
  target.minWidth = local.minWidth;
  target.minHeight = local.minHeight;
  target.maxProFile = local.maxProFile;
  target.maxLevel = local.maxLevel;
  target.pixelFormatList.insert(target.pixelFormatList.end(), std::begin(local.pixelFormats),
                                std::end(local.pixelFormats));
  return code;
}

void register_records(py::module_& m) {
  quillon::class_<kymeDecChannelParameters>(m, "decChannelParamters")
      .def(py::init([] { return kymeDecChannelParameters{}; }))
      .def_readwrite("codecType", &kymeDecChannelParameters::codecType)
      .def_readwrite("sourceMode", &kymeDecChannelParameters::sourceMode)
      .def_readwrite("decodeMode", &kymeDecChannelParameters::decodeMode)
      .def_readwrite("pixelFormat", &kymeDecChannelParameters::pixelFormat)
      .def_readwrite("extraBufferNumber", &kymeDecChannelParameters::extraBufferNumber)
      .def_readwrite("enProfiling", &kymeDecChannelParameters::enProfiling)
      .def_readwrite("enableMC", &kymeDecChannelParameters::enableMC);

  quillon::class_<kymeDecStreamInfo>(m, "decStreamInfo")
      .def(py::init([] { return kymeDecStreamInfo{}; }))
      .def_readonly("width", &kymeDecStreamInfo::width)
      .def_readonly("height", &kymeDecStreamInfo::height)
      .def_readonly("fps", &kymeDecStreamInfo::fps)
      .def_readonly("pixelSize", &kymeDecStreamInfo::pixelSize);

  quillon::class_<kymeDecJpegInfo>(m, "decJpegInfo")
      .def(py::init([] { return kymeDecJpegInfo{}; }))
      .def_readonly("width", &kymeDecJpegInfo::width)
      .def_readonly("height", &kymeDecJpegInfo::height)
      .def_readonly("x_density", &kymeDecJpegInfo::x_density)
      .def_readonly("y_density", &kymeDecJpegInfo::y_density)
      .def_readonly("outputFormat", &kymeDecJpegInfo::outputFormat)
      .def_readonly("codingMode", &kymeDecJpegInfo::codingMode);

  quillon::class_<kymeDecStatus>(m, "decStatus")
      .def(py::init([] { return kymeDecStatus{}; }))
      .def_readonly("state", &kymeDecStatus::state)
      .def_readonly("hardwareID", &kymeDecStatus::hardwareID)
      .def_readonly("result", &kymeDecStatus::result)
      .def_readonly("runningFrames", &kymeDecStatus::runningFrames)
      .def_readonly("reorderedFrames", &kymeDecStatus::reorderedFrames)
      .def_readonly("bufferedFrames", &kymeDecStatus::bufferedFrames)
      .def_readonly("droppedFrames", &kymeDecStatus::droppedFrames);

  quillon::class_<kymeDecOutputOptions>(m, "decOutputOptions")
      .def(py::init([] { return kymeDecOutputOptions{}; }))
      .def_readwrite("memoryType", &kymeDecOutputOptions::memoryType)
      .def_readwrite("enableCrop", &kymeDecOutputOptions::enableCrop);

  quillon::class_<kymeDecVideoInfo>(m, "decVideoInfo")
      .def(py::init([] { return kymeDecVideoInfo{}; }))
      .def_readonly("width", &kymeDecVideoInfo::width)
      .def_readonly("height", &kymeDecVideoInfo::height)
      .def_readonly("cropFlag", &kymeDecVideoInfo::cropFlag)
      .def_readonly("cropWidth", &kymeDecVideoInfo::cropWidth)
      .def_readonly("cropHeight", &kymeDecVideoInfo::cropHeight)
      .def_readonly("xOffset", &kymeDecVideoInfo::xOffset)
      .def_readonly("yOffset", &kymeDecVideoInfo::yOffset)
      .def_readonly("fps", &kymeDecVideoInfo::fps)
      .def_readonly("pixelFormat", &kymeDecVideoInfo::pixelFormat);

  quillon::class_<kymeJpegDecCapabilityPy>(m, "jpegDecCapability")
      .def(py::init<>())
      .def_readonly("maxWidth", &kymeJpegDecCapabilityPy::maxWidth)
      .def_readonly("maxHeight", &kymeJpegDecCapabilityPy::maxHeight)
      .def_readonly("minWidth", &kymeJpegDecCapabilityPy::minWidth)
      .def_readonly("minHeight", &kymeJpegDecCapabilityPy::minHeight)
      .def_property_readonly("codingMode", [](const kymeJpegDecCapabilityPy& c) { return c.codingModeList; })
      .def_property_readonly("pixelFormats", [](const kymeJpegDecCapabilityPy& c) { return c.pixelFormatList; });

  quillon::class_<kymeVideoDecCapabilityPy>(m, "videoDecCapability")
      .def(py::init<>())
      .def_readonly("bitDepth", &kymeVideoDecCapabilityPy::bitDepth)
      .def_readonly("maxWidth", &kymeVideoDecCapabilityPy::maxWidth)
      .def_readonly("maxHeight", &kymeVideoDecCapabilityPy::maxHeight)
      .def_readonly("minWidth", &kymeVideoDecCapabilityPy::minWidth)
      .def_readonly("minHeight", &kymeVideoDecCapabilityPy::minHeight)
      .def_readonly("maxProFile", &kymeVideoDecCapabilityPy::maxProFile)
      .def_readonly("maxLevel", &kymeVideoDecCapabilityPy::maxLevel)
      .def_property_readonly("pixelFormats", [](const kymeVideoDecCapabilityPy& c) { return c.pixelFormatList; });
}

void register_constants(py::module_& m) {
  m.attr("KYME_DEC_MAX_PIX_FMT_NUM") = KYME_DEC_MAX_PIX_FMT_NUM;
  m.attr("KYME_DEC_MAX_CODING_MODE_NUM") = KYME_DEC_MAX_CODING_MODE_NUM;
  m.attr("KYME_DEC_JPEG_MAX_WIDTH") = KYME_DEC_JPEG_MAX_WIDTH;
  m.attr("KYME_DEC_JPEG_MAX_HEIGHT") = KYME_DEC_JPEG_MAX_HEIGHT;
  m.attr("KYME_DEC_JPEG_MIN_WIDTH") = KYME_DEC_JPEG_MIN_WIDTH;
  m.attr("KYME_DEC_JPEG_MIN_HEIGHT") = KYME_DEC_JPEG_MIN_HEIGHT;
  m.attr("KYME_DEC_VIDEO_MAX_WIDTH") = KYME_DEC_VIDEO_MAX_WIDTH;
  m.attr("KYME_DEC_VIDEO_MAX_HEIGHT") = KYME_DEC_VIDEO_MAX_HEIGHT;
  m.attr("KYME_DEC_VIDEO_MIN_WIDTH") = KYME_DEC_VIDEO_MIN_WIDTH;
  m.attr("KYME_DEC_VIDEO_MIN_HEIGHT") = KYME_DEC_VIDEO_MIN_HEIGHT;
  m.attr("KYME_DEC_MAX_STREAM_BUFFER_SIZE") = KYME_DEC_MAX_STREAM_BUFFER_SIZE;
}

void register_functions(py::module_& m) {
  m.def(
      "createDecoderChannel",
      [](kymeDecChannelParameters* parameters, uint32_t channel) {
        return kymeCreateDecoderChannel(&require_record(parameters, "createDecoderChannel", "decChannelParamters"),
                                        channel);
      },
      "Create an decoder channel.");
  m.def("destroyDecoderChannel", &destroy_channel, "Destroy an decoder channel.");
  m.def("startDecoder", &kymeStartDecoder, "Start the decoder.");
  m.def("resetDecoder", &kymeResetDecoder, "Restart the decoder.");
  m.def("stopDecoder", &kymeStopDecoder, "Stop the decoder.");
  m.def("sendStreamToDecoder", &send_stream, "Send a stream to decoder to decode.");
  m.def("receiveFrameFromDecoder", &receive_frame, "Receive a frame from Decoder.");
  m.def("jpegSyncDecoder", &jpeg_sync_decode, "Send Jepg stream to decoder to decode, a sync api.");
  m.def("transferFrameFromDecoder", &transfer_frame, "Tranfer frame data from device to host.");
  m.def("decReleaseFrame", &release_frame,
        "Release the kyme frame whose content filled by kymeReceiveFrameFromDecoder.");
  m.def("getJpegInfo", &jpeg_info, "Get input jpeg information.");
  m.def("getVideoInfo", &video_info, "Get input video information.");
  m.def(
      "getStreamInfoFromDecoder",
      [](uint32_t channel, kymeDecStreamInfo* info) {
        return kymeGetStreamInfoFromDecoder(channel,
                                            &require_record(info, "getStreamInfoFromDecoder", "decStreamInfo"));
      },
      "Get the Stream information by Decoder.");
  m.def(
      "getDecoderStatus",
      [](uint32_t channel, kymeDecStatus* status) {
        return kymeGetDecoderStatus(channel, &require_record(status, "getDecoderStatus", "decStatus"));
      },
      "Get the Decoder status information.");
  m.def("jpegDecGetCaps", &jpeg_caps, "Get the ability of the jpeg decoder on the device.");
  m.def("videoDecGetCaps", &video_caps, "Get the ability of the video decoder on the device.");
  m.def(
      "getDecoderAvailableChannels",
      [] {
        uint32_t count = 0;
        check(kymeGetDecoderAvailableChannels(&count), "get decoder avaliable channels error, ret: %d.");
        return count;
      },
      "Get the Decoder available channels.");
}

}  // namespace

void forget_decoder_frames() { DecoderFrames::instance().all_gone(); }

void register_decoder(py::module_& m) {
  register_enum<kymeDecMode>(m, "decodeMode",
                             {{"KYME_DEC_NORMAL", KYME_DEC_NORMAL},
                              {"KYME_DEC_INTRA_ONLY", KYME_DEC_INTRA_ONLY},
                              {"KYME_DEC_SKIP_NONREF", KYME_DEC_SKIP_NONREF}});
  register_records(m);
  register_constants(m);
  register_functions(m);
  register_stream_readers(m);
}

}  // namespace quillon
