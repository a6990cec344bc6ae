// kyme: the media enumerations, the stream and frame records with their
// buffer views, the small records shared by decoder and encoder, the result
// code constants and the system functions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "kyme.h"
#include "kyme/media.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/host_read.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/text.h"

namespace py = pybind11;

namespace quillon {

QUILLON_ASSERT_LAYOUT(kymeStream, 32, 8);
QUILLON_ASSERT_OFFSET(kymeStream, data, 0);
QUILLON_ASSERT_OFFSET(kymeStream, length, 8);
QUILLON_ASSERT_OFFSET(kymeStream, pts, 16);
QUILLON_ASSERT_OFFSET(kymeStream, inputBusAddress, 24);

QUILLON_ASSERT_LAYOUT(kymeFrame, 128, 8);
QUILLON_ASSERT_OFFSET(kymeFrame, data, 0);
QUILLON_ASSERT_OFFSET(kymeFrame, busAddress, 24);
QUILLON_ASSERT_OFFSET(kymeFrame, stride, 48);
QUILLON_ASSERT_OFFSET(kymeFrame, dataSize, 60);
QUILLON_ASSERT_OFFSET(kymeFrame, width, 64);
QUILLON_ASSERT_OFFSET(kymeFrame, height, 68);
QUILLON_ASSERT_OFFSET(kymeFrame, pts, 72);
QUILLON_ASSERT_OFFSET(kymeFrame, memoryType, 80);
QUILLON_ASSERT_OFFSET(kymeFrame, field, 84);
QUILLON_ASSERT_OFFSET(kymeFrame, pixelFormat, 88);
QUILLON_ASSERT_OFFSET(kymeFrame, frameType, 92);
QUILLON_ASSERT_OFFSET(kymeFrame, cropInfo, 96);
QUILLON_ASSERT_OFFSET(kymeFrame, privateData, 120);

QUILLON_ASSERT_LAYOUT(kymeFrame::CropInfo, 20, 4);
QUILLON_ASSERT_OFFSET(kymeFrame::CropInfo, flag, 0);
QUILLON_ASSERT_OFFSET(kymeFrame::CropInfo, width, 4);
QUILLON_ASSERT_OFFSET(kymeFrame::CropInfo, height, 8);
QUILLON_ASSERT_OFFSET(kymeFrame::CropInfo, xOffset, 12);
QUILLON_ASSERT_OFFSET(kymeFrame::CropInfo, yOffset, 16);

QUILLON_ASSERT_LAYOUT(kymeVersion, 12, 4);
QUILLON_ASSERT_OFFSET(kymeVersion, major, 0);
QUILLON_ASSERT_OFFSET(kymeVersion, minor, 4);
QUILLON_ASSERT_OFFSET(kymeVersion, build, 8);

QUILLON_ASSERT_LAYOUT(kymeHardwareID, 8, 4);
QUILLON_ASSERT_OFFSET(kymeHardwareID, dieID, 0);
QUILLON_ASSERT_OFFSET(kymeHardwareID, coreID, 4);

QUILLON_ASSERT_LAYOUT(kymeRational, 8, 4);
QUILLON_ASSERT_OFFSET(kymeRational, numerator, 0);
QUILLON_ASSERT_OFFSET(kymeRational, denominator, 4);

static_assert(sizeof(kymePixelFormat) == 4 && sizeof(kymeChromaFormat) == 4 && sizeof(kymeVideoLevel) == 4,
              "media enumerations are 32-bit");

kymeFrame frame_to_library(const kymeFramePy& frame) {
  kymeFrame record{};
  for (std::size_t i = 0; i < frame.data.size() && i < KYME_MAX_VIDEO_PLANE; ++i) {
    record.data[i] = static_cast<uint8_t*>(frame.data[i]);
  }
  for (std::size_t i = 0; i < frame.busAddress.size() && i < KYME_MAX_VIDEO_PLANE; ++i) {
    record.busAddress[i] = frame.busAddress[i];
  }
  for (std::size_t i = 0; i < frame.stride.size() && i < KYME_MAX_VIDEO_PLANE; ++i) record.stride[i] = frame.stride[i];
  record.dataSize = frame.dataSize;
  record.width = frame.width;
  record.height = frame.height;
  record.pts = frame.pts;
  record.memoryType = frame.memoryType;
  record.field = frame.field;
  record.pixelFormat = frame.pixelFormat;
  record.frameType = frame.frameType;
  record.cropInfo = frame.cropInfo;
  record.privateData = frame.privateData;
  return record;
}

void frame_from_library(const kymeFrame& record, kymeFramePy& frame) {
  frame.data.assign(record.data, record.data + KYME_MAX_VIDEO_PLANE);
  frame.busAddress.assign(record.busAddress, record.busAddress + KYME_MAX_VIDEO_PLANE);
  frame.stride.assign(record.stride, record.stride + KYME_MAX_VIDEO_PLANE);
  static_cast<kymeFrame&>(frame) = record;
}

void keep_owner_alive(py::handle record, py::handle owner) {
  auto* instance = reinterpret_cast<py::detail::instance*>(record.ptr());
  if (instance->has_patients) {
    const auto& patients = py::detail::get_internals().patients;
    const auto found = patients.find(record.ptr());
    if (found != patients.end() && found->second.size() == 1 && found->second.front() == owner.ptr()) return;
    py::detail::clear_patients(record.ptr());
  }
  py::detail::add_patient(record.ptr(), owner.ptr());
}

namespace {

// A buffer view's own copy of the bytes, freed when the view is released.
int fill_view_with_copy(PyObject* owner, Py_buffer* view, int flags, const void* source, std::size_t size) {
  void* copy = std::malloc(size > 0 ? size : 1);
  if (copy == nullptr) {
    view->obj = nullptr;
    PyErr_NoMemory();
    return -1;
  }
  if (size > 0) std::memcpy(copy, source, size);
  if (PyBuffer_FillInfo(view, owner, copy, static_cast<Py_ssize_t>(size), 0, flags) != 0) {
    std::free(copy);
    return -1;
  }
  view->internal = copy;
  return 0;
}

void release_view_copy(PyObject* /*owner*/, Py_buffer* view) { std::free(view->internal); }

int refuse_view(Py_buffer* view, PyObject* type, const std::string& message) {
  view->obj = nullptr;
  PyErr_SetString(type, message.c_str());
  return -1;
}

// A view of `size` bytes at `address`, the first plane or stream data of a
// `record`. The bytes behind a view may be gone without the record knowing: a
// reader released or collected, an array freed after setStreamData. Such an
// address is refused rather than read.
int copy_into_view(PyObject* self, Py_buffer* view, int flags, const char* record, const char* size_name,
                   const void* address, uint32_t size) {
  if (address == nullptr && size != 0) {
    return refuse_view(view, PyExc_RuntimeError,
                       std::string("The ") + record + " has no data address but a " + size_name + " of " +
                           std::to_string(size) + " bytes (was the reader that filled it released?).");
  }
  if (!readable_host_memory(address, size)) {
    return refuse_view(view, PyExc_RuntimeError,
                       std::string("The ") + record + "'s data address does not point to " + std::to_string(size) +
                           " readable bytes of host memory (was the reader that filled it released, the array "
                           "it points at freed, or the encoder's stream given back with encReleaseStream?).");
  }
  return fill_view_with_copy(self, view, flags, address, size);
}

// The buffer slot of a record class: `view_of(self, view, flags)` fills the
// view or sets the error; any C++ exception becomes the Python error.
template <class View>
int guarded_view(PyObject* self, Py_buffer* view, int flags, View view_of) {
  try {
    return view_of(self, view, flags);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();  // TypeError for a record never constructed, among others
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  view->obj = nullptr;
  return -1;
}

// The stream's bytes, copied when the view is requested.
int stream_get_buffer(PyObject* self, Py_buffer* view, int flags) {
  return guarded_view(self, view, flags, [](PyObject* object, Py_buffer* out, int requested) {
    const auto& stream = py::cast<const kymeStream&>(py::handle(object));
    return copy_into_view(object, out, requested, "stream", "length", stream.data, stream.length);
  });
}

// A host frame's bytes from its first plane address, copied when the view
// is requested.
int frame_get_buffer(PyObject* self, Py_buffer* view, int flags) {
  return guarded_view(self, view, flags, [](PyObject* object, Py_buffer* out, int requested) {
    const auto& frame = py::cast<const kymeFramePy&>(py::handle(object));
    if (frame.memoryType != KYME_MEM_HOST) {
      return refuse_view(out, PyExc_RuntimeError, "Only support frame on the host, please transfer to the host.");
    }
    const void* first = frame.data.empty() ? nullptr : frame.data.front();
    return copy_into_view(object, out, requested, "frame", "size", first, frame.dataSize);
  });
}

// pybind11's own buffer hook cannot raise or own a copy, so the class gets
// these two slots instead.
template <class Class>
void install_copying_buffer(Class& cls, getbufferproc get) {
  auto* type = reinterpret_cast<PyHeapTypeObject*>(cls.ptr());
  type->as_buffer.bf_getbuffer = get;
  type->as_buffer.bf_releasebuffer = release_view_copy;
  type->ht_type.tp_as_buffer = &type->as_buffer;
}

void register_enums(py::module_& m) {
  register_enum<kymeCodecType>(m, "codecType",
                               {{"KYME_CODEC_DEC_JPEG", KYME_CODEC_DEC_JPEG},
                                {"KYME_CODEC_DEC_H264", KYME_CODEC_DEC_H264},
                                {"KYME_CODEC_DEC_HEVC", KYME_CODEC_DEC_HEVC},
                                {"KYME_CODEC_ENC_JPEG", KYME_CODEC_ENC_JPEG},
                                {"KYME_CODEC_ENC_H264", KYME_CODEC_ENC_H264},
                                {"KYME_CODEC_ENC_HEVC", KYME_CODEC_ENC_HEVC}});
  register_enum<kymeSourceMode>(m, "sourceMode", {{"KYME_SRC_FRAME", KYME_SRC_FRAME}});
  register_enum<kymeMemoryType>(
      m, "memoryType",
      {{"KYME_MEM_DEVICE", KYME_MEM_DEVICE}, {"KYME_MEM_HOST", KYME_MEM_HOST}, {"KYME_MEM_FLUSH", KYME_MEM_FLUSH}});
  register_enum<kymePixelFormat>(m, "pixelFormat",
                                 {{"KYME_PIX_FMT_NONE", KYME_PIX_FMT_NONE},
                                  {"KYME_PIX_FMT_YUV420P", KYME_PIX_FMT_YUV420P},
                                  {"KYME_PIX_FMT_YUV444P", KYME_PIX_FMT_YUV444P},
                                  {"KYME_PIX_FMT_YUV422P", KYME_PIX_FMT_YUV422P},
                                  {"KYME_PIX_FMT_YUV420P9", KYME_PIX_FMT_YUV420P9},
                                  {"KYME_PIX_FMT_YUV422P9", KYME_PIX_FMT_YUV422P9},
                                  {"KYME_PIX_FMT_YUV444P9", KYME_PIX_FMT_YUV444P9},
                                  {"KYME_PIX_FMT_YUV420P10", KYME_PIX_FMT_YUV420P10},
                                  {"KYME_PIX_FMT_YUV422P10", KYME_PIX_FMT_YUV422P10},
                                  {"KYME_PIX_FMT_YUV444P10", KYME_PIX_FMT_YUV444P10},
                                  {"KYME_PIX_FMT_YUV420P12", KYME_PIX_FMT_YUV420P12},
                                  {"KYME_PIX_FMT_YUV422P12", KYME_PIX_FMT_YUV422P12},
                                  {"KYME_PIX_FMT_YUV444P12", KYME_PIX_FMT_YUV444P12},
                                  {"KYME_PIX_FMT_NV12", KYME_PIX_FMT_NV12},
                                  {"KYME_PIX_FMT_NV21", KYME_PIX_FMT_NV21},
                                  {"KYME_PIX_FMT_GRAY8", KYME_PIX_FMT_GRAY8},
                                  {"KYME_PIX_FMT_GRAY9", KYME_PIX_FMT_GRAY9},
                                  {"KYME_PIX_FMT_GRAY10", KYME_PIX_FMT_GRAY10},
                                  {"KYME_PIX_FMT_GRAY12", KYME_PIX_FMT_GRAY12},
                                  {"KYME_PIX_FMT_RGB24", KYME_PIX_FMT_RGB24},
                                  {"KYME_PIX_FMT_BGR24", KYME_PIX_FMT_BGR24},
                                  {"KYME_PIX_FMT_ARGB", KYME_PIX_FMT_ARGB},
                                  {"KYME_PIX_FMT_RGBA", KYME_PIX_FMT_RGBA},
                                  {"KYME_PIX_FMT_ABGR", KYME_PIX_FMT_ABGR},
                                  {"KYME_PIX_FMT_BGRA", KYME_PIX_FMT_BGRA},
                                  {"KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010", KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010},
                                  {"KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010", KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010}});
  register_enum<kymeState>(m, "state",
                           {{"KYME_ST_NONE", KYME_ST_NONE},
                            {"KYME_ST_READY", KYME_ST_READY},
                            {"KYME_ST_RUNNING", KYME_ST_RUNNING},
                            {"KYME_ST_ERROR", KYME_ST_ERROR},
                            {"KYME_ST_STOPPING", KYME_ST_STOPPING},
                            {"KYME_ST_STOPPED", KYME_ST_STOPPED}});
  register_enum<kymeVideoField>(m, "videoField", {{"KYME_FLD_FRAME", KYME_FLD_FRAME}});
  register_enum<kymeFrameType>(m, "frameType",
                               {{"KYME_FRM_I", KYME_FRM_I}, {"KYME_FRM_P", KYME_FRM_P}, {"KYME_FRM_B", KYME_FRM_B}});
  register_enum<kymeChromaFormat>(m, "chromaFormat",
                                  {{"KYME_CHROMA_FMT_NONE", KYME_CHROMA_FMT_NONE},
                                   {"KYME_CHROMA_FMT_400", KYME_CHROMA_FMT_400},
                                   {"KYME_CHROMA_FMT_411", KYME_CHROMA_FMT_411},
                                   {"KYME_CHROMA_FMT_420", KYME_CHROMA_FMT_420},
                                   {"KYME_CHROMA_FMT_422", KYME_CHROMA_FMT_422},
                                   {"KYME_CHROMA_FMT_440", KYME_CHROMA_FMT_440},
                                   {"KYME_CHROMA_FMT_444", KYME_CHROMA_FMT_444}});
  register_enum<kymeJpegCodingMode>(m, "jpegCodingMode",
                                    {{"KYME_JPEG_NONE", KYME_JPEG_NONE},
                                     {"KYME_JPEG_BASELINE", KYME_JPEG_BASELINE},
                                     {"KYME_JPEG_PROGRESSIVE", KYME_JPEG_PROGRESSIVE},
                                     {"KYME_JPEG_NONINTERLEAVED", KYME_JPEG_NONINTERLEAVED}});
  // Profiles and levels share values across codecs: the order below decides
  // which name a value reads back as.
  register_enum<kymeVideoProfile>(m, "videoProfile",
                                  {{"KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE", KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE},
                                   {"KYME_VIDEO_PRFL_HEVC_MAIN", KYME_VIDEO_PRFL_HEVC_MAIN},
                                   {"KYME_VIDEO_PRFL_HEVC_MAIN_10", KYME_VIDEO_PRFL_HEVC_MAIN_10},
                                   {"KYME_VIDEO_PRFL_HEVC_MAIN_REXT", KYME_VIDEO_PRFL_HEVC_MAIN_REXT},
                                   {"KYME_VIDEO_PRFL_H264_BASELINE", KYME_VIDEO_PRFL_H264_BASELINE},
                                   {"KYME_VIDEO_PRFL_H264_MAIN", KYME_VIDEO_PRFL_H264_MAIN},
                                   {"KYME_VIDEO_PRFL_H264_HIGH", KYME_VIDEO_PRFL_H264_HIGH},
                                   {"KYME_VIDEO_PRFL_H264_HIGH_10", KYME_VIDEO_PRFL_H264_HIGH_10},
                                   {"KYME_VIDEO_PRFL_AV1_MAIN", KYME_VIDEO_PRFL_AV1_MAIN},
                                   {"KYME_VIDEO_PRFL_AV1_HIGH", KYME_VIDEO_PRFL_AV1_HIGH},
                                   {"KYME_VIDEO_PRFL_AV1_PROFESSIONAL", KYME_VIDEO_PRFL_AV1_PROFESSIONAL}});
  register_enum<kymeVideoLevel>(
      m, "videoLevel",
      {{"KYME_VIDEO_LVL_HEVC_1", KYME_VIDEO_LVL_HEVC_1},     {"KYME_VIDEO_LVL_HEVC_2", KYME_VIDEO_LVL_HEVC_2},
       {"KYME_VIDEO_LVL_HEVC_2_1", KYME_VIDEO_LVL_HEVC_2_1}, {"KYME_VIDEO_LVL_HEVC_3", KYME_VIDEO_LVL_HEVC_3},
       {"KYME_VIDEO_LVL_HEVC_3_1", KYME_VIDEO_LVL_HEVC_3_1}, {"KYME_VIDEO_LVL_HEVC_4", KYME_VIDEO_LVL_HEVC_4},
       {"KYME_VIDEO_LVL_HEVC_4_1", KYME_VIDEO_LVL_HEVC_4_1}, {"KYME_VIDEO_LVL_HEVC_5", KYME_VIDEO_LVL_HEVC_5},
       {"KYME_VIDEO_LVL_HEVC_5_1", KYME_VIDEO_LVL_HEVC_5_1}, {"KYME_VIDEO_LVL_HEVC_5_2", KYME_VIDEO_LVL_HEVC_5_2},
       {"KYME_VIDEO_LVL_HEVC_6", KYME_VIDEO_LVL_HEVC_6},     {"KYME_VIDEO_LVL_HEVC_6_1", KYME_VIDEO_LVL_HEVC_6_1},
       {"KYME_VIDEO_LVL_HEVC_6_2", KYME_VIDEO_LVL_HEVC_6_2}, {"KYME_VIDEO_LVL_H264_1", KYME_VIDEO_LVL_H264_1},
       {"KYME_VIDEO_LVL_H264_1_b", KYME_VIDEO_LVL_H264_1_b}, {"KYME_VIDEO_LVL_H264_1_1", KYME_VIDEO_LVL_H264_1_1},
       {"KYME_VIDEO_LVL_H264_1_2", KYME_VIDEO_LVL_H264_1_2}, {"KYME_VIDEO_LVL_H264_1_3", KYME_VIDEO_LVL_H264_1_3},
       {"KYME_VIDEO_LVL_H264_2", KYME_VIDEO_LVL_H264_2},     {"KYME_VIDEO_LVL_H264_2_1", KYME_VIDEO_LVL_H264_2_1},
       {"KYME_VIDEO_LVL_H264_2_2", KYME_VIDEO_LVL_H264_2_2}, {"KYME_VIDEO_LVL_H264_3", KYME_VIDEO_LVL_H264_3},
       {"KYME_VIDEO_LVL_H264_3_1", KYME_VIDEO_LVL_H264_3_1}, {"KYME_VIDEO_LVL_H264_3_2", KYME_VIDEO_LVL_H264_3_2},
       {"KYME_VIDEO_LVL_H264_4", KYME_VIDEO_LVL_H264_4},     {"KYME_VIDEO_LVL_H264_4_1", KYME_VIDEO_LVL_H264_4_1},
       {"KYME_VIDEO_LVL_H264_4_2", KYME_VIDEO_LVL_H264_4_2}, {"KYME_VIDEO_LVL_H264_5", KYME_VIDEO_LVL_H264_5},
       {"KYME_VIDEO_LVL_H264_5_1", KYME_VIDEO_LVL_H264_5_1}, {"KYME_VIDEO_LVL_H264_5_2", KYME_VIDEO_LVL_H264_5_2},
       {"KYME_VIDEO_LVL_H264_6", KYME_VIDEO_LVL_H264_6},     {"KYME_VIDEO_LVL_H264_6_1", KYME_VIDEO_LVL_H264_6_1},
       {"KYME_VIDEO_LVL_H264_6_2", KYME_VIDEO_LVL_H264_6_2}});
}

void register_records(py::module_& m) {
  class_<kymeStream> stream(m, "stream", py::buffer_protocol());
  stream.def(py::init([] { return kymeStream{}; }))
      .def_property_readonly("stream", [](const kymeStream& s) { return Handle(s.data); })
      .def_readwrite("pts", &kymeStream::pts)
      .def_readonly("inputBusAddress", &kymeStream::inputBusAddress);
  install_copying_buffer(stream, stream_get_buffer);

  class_<kymeFramePy> frame(m, "frame", py::buffer_protocol());
  frame.def(py::init<>())
      .def_readonly("dataSize", &kymeFramePy::dataSize)
      .def_readonly("width", &kymeFramePy::width)
      .def_readonly("height", &kymeFramePy::height)
      .def_readonly("memoryType", &kymeFramePy::memoryType)
      .def_readonly("field", &kymeFramePy::field)
      .def_readonly("pixelFormat", &kymeFramePy::pixelFormat)
      .def_readonly("frameType", &kymeFramePy::frameType)
      .def_readonly("cropInfo", &kymeFramePy::cropInfo)
      .def_property_readonly("privateData", [](const kymeFramePy& f) { return Handle(f.privateData); })
      .def_property_readonly("data",
                             [](const kymeFramePy& f) {
                               std::vector<Handle> planes;
                               planes.reserve(f.data.size());
                               for (void* address : f.data) planes.emplace_back(address);
                               return planes;
                             })
      .def_property_readonly("busAddress", [](const kymeFramePy& f) { return f.busAddress; })
      .def_property_readonly("stride", [](const kymeFramePy& f) { return f.stride; });
  install_copying_buffer(frame, frame_get_buffer);

  class_<kymeFrame::CropInfo>(m, "cropInfo")
      .def(py::init([] { return kymeFrame::CropInfo{}; }))
      .def_readonly("flag", &kymeFrame::CropInfo::flag)
      .def_readonly("width", &kymeFrame::CropInfo::width)
      .def_readonly("height", &kymeFrame::CropInfo::height)
      .def_readonly("xOffset", &kymeFrame::CropInfo::xOffset)
      .def_readonly("yOffset", &kymeFrame::CropInfo::yOffset);

  class_<kymeVersion>(m, "version")
      .def(py::init([] { return kymeVersion{}; }))
      .def_readonly("major", &kymeVersion::major)
      .def_readonly("minor", &kymeVersion::minor)
      .def_readonly("build", &kymeVersion::build);

  class_<kymeHardwareID>(m, "hardwareID")
      .def(py::init([] { return kymeHardwareID{}; }))
      .def_readonly("dieID", &kymeHardwareID::dieID)
      .def_readonly("coreID", &kymeHardwareID::coreID);

  class_<kymeRational>(m, "rational")
      .def(py::init([] { return kymeRational{}; }))
      .def_readwrite("numerator", &kymeRational::numerator)
      .def_readwrite("denominator", &kymeRational::denominator);
}

}  // namespace

void register_media_types(py::module_& m) {
  register_enums(m);
  register_records(m);

  m.attr("kymeER_SUCCESS") = kymeER_SUCCESS;
  m.attr("kymeER_RSLT_OK") = kymeER_RSLT_OK;
  m.attr("kymeER_RSLT_ERR_START") = kymeER_RSLT_ERR_START;
  m.attr("KYME_MAX_VIDEO_PLANE") = KYME_MAX_VIDEO_PLANE;
  m.attr("kymeER_RSLT_WARN_MORE_DATA") = kymeER_RSLT_WARN_MORE_DATA;
  m.attr("kymeER_RSLT_WARN_EOS") = kymeER_RSLT_WARN_EOS;

  m.def("systemInitialize", &kymeSystemInitialize, "Initialize the kyme system.");
  m.def(
      "systemUninitialize",
      [] {
        const uint32_t code = kymeSystemUninitialize();
        // The library destroys the channels left open, and their pictures with them.
        if (code == 0) forget_decoder_frames();
        return code;
      },
      "Uninitialize the kyme system.");
  m.def(
      "getVersion",
      []() -> std::optional<py::str> {
        char* text = nullptr;
        uint32_t major = 0, minor = 0, patch = 0, build = 0;
        check(kymeGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
        return text_or_none(text);
      },
      "Get the KYME API version information.");
}

}  // namespace quillon
