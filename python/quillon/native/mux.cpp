// Writes an encoder's coded units into a container with libavformat: MP4,
// Matroska, raw H.264/HEVC elementary streams, or one JPEG file per picture.
// Units arrive in Annex B form, one access unit (or JPEG file) each, with
// their time stamps counted in picture periods.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include "libav_errors.h"
#include "native_class.h"

namespace py = pybind11;

namespace {

// Every libavformat failure is a failure to write the file: OSError, with
// the errno (and so the subclass, such as FileNotFoundError) when libavformat
// gives one, and the path as its filename.
[[noreturn]] void raise_os_error(int code, const std::string& path, const std::string& what) {
  const std::string message = what + ": " + quillon_native::av_error_text(code);
  const int number = AVUNERROR(code);
  py::object error = py::reinterpret_steal<py::object>(PyObject_CallFunction(
      PyExc_OSError, "iss", number > 0 && number < 4096 ? number : 0, message.c_str(), path.c_str()));
  if (!error) throw py::error_already_set();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

Packet new_packet() {
  Packet packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

// The parameter sets at the start of a unit, as the container's extradata
// (Annex B; the MP4 and Matroska writers turn them into avcC/hvcC).
std::string extract_parameter_sets(const AVCodecParameters* codec, const AVPacket& unit, AVRational time_base) {
  const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
  AVBSFContext* context = nullptr;
  if (filter == nullptr || av_bsf_alloc(filter, &context) < 0) return {};
  std::string extradata;
  Packet packet = new_packet();
  if (avcodec_parameters_copy(context->par_in, codec) >= 0 && (context->time_base_in = time_base, true) &&
      av_bsf_init(context) >= 0 && av_packet_ref(packet.get(), &unit) >= 0 &&
      av_bsf_send_packet(context, packet.get()) >= 0 && av_bsf_receive_packet(context, packet.get()) >= 0) {
    size_t size = 0;
    const uint8_t* data = av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &size);
    if (data != nullptr) extradata.assign(reinterpret_cast<const char*>(data), size);
  }
  av_bsf_free(&context);
  return extradata;
}

class Muxer {
 public:
  Muxer(const std::string& path, const std::string& container, const std::string& codec, int width, int height,
        int rate_numerator, int rate_denominator)
      : path_(path) {
    const AVCodecID id = codec == "h264"    ? AV_CODEC_ID_H264
                         : codec == "hevc"  ? AV_CODEC_ID_HEVC
                         : codec == "mjpeg" ? AV_CODEC_ID_MJPEG
                                            : AV_CODEC_ID_NONE;
    if (id == AV_CODEC_ID_NONE) throw py::value_error("Muxer: unknown codec " + codec);
    if (width <= 0 || height <= 0 || rate_numerator <= 0 || rate_denominator <= 0) {
      throw py::value_error("Muxer: sizes and the picture rate must be positive");
    }
    const AVOutputFormat* format = av_guess_format(container.c_str(), nullptr, nullptr);
    if (format == nullptr) throw py::value_error("Muxer: libavformat has no container " + container);
    int code = avformat_alloc_output_context2(&context_, format, nullptr, path.c_str());
    if (code < 0) raise_os_error(code, path, "cannot set up the container");
    AVStream* stream = avformat_new_stream(context_, nullptr);
    if (stream == nullptr) {
      release();
      throw std::bad_alloc();
    }
    time_base_ = AVRational{rate_denominator, rate_numerator};
    stream->time_base = time_base_;
    stream->avg_frame_rate = stream->r_frame_rate = AVRational{rate_numerator, rate_denominator};
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = id;
    parameters->width = width;
    parameters->height = height;
    parameters->format = id == AV_CODEC_ID_MJPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    // The MP4 and Matroska writers need the parameter sets before the
    // header; they come with the first unit.
    needs_extradata_ = id != AV_CODEC_ID_MJPEG && (format->flags & AVFMT_GLOBALHEADER) != 0;
    if (id == AV_CODEC_ID_MJPEG) {
      // One file per picture, numbered by picture from 0.
      av_opt_set_int(context_->priv_data, "start_number", 0, 0);
    } else {
      parser_ = av_parser_init(id);
      parser_codec_ = avcodec_alloc_context3(nullptr);
      if (parser_ == nullptr || parser_codec_ == nullptr) {
        release();
        throw std::bad_alloc();
      }
      parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }
    if ((format->flags & AVFMT_NOFILE) == 0) {
      code = avio_open(&context_->pb, path.c_str(), AVIO_FLAG_WRITE);
      if (code < 0) {
        release();
        raise_os_error(code, path, "cannot open for writing");
      }
    }
  }

  Muxer(const Muxer&) = delete;
  Muxer& operator=(const Muxer&) = delete;

  // A muxer dropped without close() still finishes its file, so that what
  // was written stays readable.
  ~Muxer() {
    if (context_ != nullptr && header_written_) av_write_trailer(context_);
    release();
  }

  void write(const py::buffer& unit, int64_t pts, int64_t dts) {
    if (context_ == nullptr) throw py::value_error(path_ + ": the muxer is closed");
    const py::buffer_info view = unit.request();
    if (view.itemsize != 1 || view.ndim != 1 || view.strides[0] != 1 || view.size <= 0 ||
        view.size > std::numeric_limits<int>::max()) {
      throw py::value_error("Muxer.write: the unit must be non-empty contiguous bytes");
    }
    if (dts > pts) throw py::value_error("Muxer.write: a unit cannot be decoded after it is shown (dts > pts)");
    if (have_dts_ && dts <= last_dts_) throw py::value_error("Muxer.write: decoding time stamps must increase");
    Packet packet = new_packet();
    int code = av_new_packet(packet.get(), static_cast<int>(view.size));
    if (code < 0) throw std::bad_alloc();
    std::memcpy(packet->data, view.ptr, static_cast<size_t>(view.size));
    packet->pts = pts;
    packet->dts = dts;
    packet->duration = 1;
    packet->stream_index = 0;
    if (is_key(*packet)) packet->flags |= AV_PKT_FLAG_KEY;
    if (!header_written_) write_header(*packet);
    av_packet_rescale_ts(packet.get(), time_base_, context_->streams[0]->time_base);
    code = av_interleaved_write_frame(context_, packet.get());
    if (code < 0) raise_os_error(code, path_, "cannot write a unit");
    have_dts_ = true;
    last_dts_ = dts;
  }

  void close() {
    if (context_ == nullptr) return;
    // Without a unit there are no parameter sets to describe the stream:
    // the file stays empty rather than holding a header no reader accepts.
    int code = header_written_ ? av_write_trailer(context_) : 0;
    header_written_ = false;
    if (code >= 0 && context_->pb != nullptr) code = avio_closep(&context_->pb);
    release();
    if (code < 0) raise_os_error(code, path_, "cannot finish the file");
  }

  bool closed() const { return context_ == nullptr; }

 private:
  bool is_key(const AVPacket& packet) {
    if (parser_ == nullptr) return true;  // every JPEG picture stands alone
    uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser_, parser_codec_, &out, &out_size, packet.data, packet.size, packet.pts, packet.dts, 0);
    return parser_->key_frame == 1;
  }

  void write_header(const AVPacket& first) {
    AVCodecParameters* parameters = context_->streams[0]->codecpar;
    if (needs_extradata_) {
      const std::string sets = extract_parameter_sets(parameters, first, time_base_);
      if (!sets.empty()) {
        parameters->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (parameters->extradata == nullptr) throw std::bad_alloc();
        std::memcpy(parameters->extradata, sets.data(), sets.size());
        parameters->extradata_size = static_cast<int>(sets.size());
      }
    }
    const int code = avformat_write_header(context_, nullptr);
    if (code < 0) raise_os_error(code, path_, "cannot write the container's header");
    header_written_ = true;
  }

  void release() {
    if (context_ != nullptr) {
      if ((context_->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&context_->pb);
      avformat_free_context(context_);
      context_ = nullptr;
    }
    if (parser_ != nullptr) av_parser_close(parser_);
    parser_ = nullptr;
    avcodec_free_context(&parser_codec_);
  }

  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVCodecContext* parser_codec_ = nullptr;
  AVRational time_base_{1, 1};
  bool needs_extradata_ = false;
  bool header_written_ = false;
  bool have_dts_ = false;
  int64_t last_dts_ = 0;
};

}  // namespace

void register_mux(py::module_& m) {
  quillon_native::native_class<Muxer>(
      m, "Muxer",
      "Writes coded units into a container file with libavformat. `container` is a libavformat "
      "format name (mp4, matroska, h264, hevc, image2), `codec` h264, hevc or mjpeg; time stamps "
      "count pictures at `rate_numerator / rate_denominator` per second.")
      .def(py::init<const std::string&, const std::string&, const std::string&, int, int, int, int>(), py::arg("path"),
           py::arg("container"), py::arg("codec"), py::arg("width"), py::arg("height"), py::arg("rate_numerator"),
           py::arg("rate_denominator"))
      .def("write", &Muxer::write, py::arg("unit"), py::arg("pts"), py::arg("dts"),
           "Writes one coded unit (an Annex B access unit, or a JPEG file) with its presentation and decoding "
           "time stamps.")
      .def("close", &Muxer::close, "Finishes the file; closing again does nothing.")
      .def_property_readonly("closed", &Muxer::closed);
}
