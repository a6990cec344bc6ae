// Demuxing with libavformat for quillon.open: a Demuxer reads the video
// stream of a container, file or URL as Annex B packets for the card's
// decoder (through the mp4toannexb bitstream filters), with time stamps in
// the stream's time base, and indexes its key packets so that a pass can
// start at any of them; a HostDecoder decodes, with libavcodec, the codecs
// the card has no decoder for, into a picture buffer of its own.
//
// Each object is used by one Python thread at a time; the interpreter lock is
// released while libavformat waits on a file or the network, so a second
// thread calling the same object meanwhile is refused rather than raced.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "annexb_units.h"
#include "hevc_references.h"
#include "libav_errors.h"
#include "native_class.h"
#include "quillon/unlocked.h"
#include "source_opening.h"
#include "stream_facts.h"

namespace py = pybind11;

using quillon_native::add_options;
using quillon_native::av_error_text;
using quillon_native::drop_false_idr_units;
using quillon_native::first_slice_header;
using quillon_native::hevc_leading_picture;
using quillon_native::holds_sequence_parameters;
using quillon_native::raise_open_error;
using quillon_native::set_time_outs;
using quillon_native::starts_annexb;
using quillon_native::without_password;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTwoTo63 = 9223372036854775808.0;
// A deadline further ahead would not fit the clock's nanoseconds.
constexpr double kLongestTimeout = 1e9;

// One call at a time per object; the lock is taken with the interpreter lock
// held, so a refused caller never blocks.
class Busy {
 public:
  explicit Busy(std::mutex& mutex) : lock_(mutex, std::try_to_lock) {
    if (!lock_.owns_lock()) throw py::value_error("this video is being read by another thread");
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

double seconds_or_negative(int64_t value, AVRational base) {
  if (value == AV_NOPTS_VALUE || value <= 0) return -1.0;
  return static_cast<double>(value) * av_q2d(base);
}

}  // namespace

// The key packets of a video stream in decode order: what a pass needs to
// start at any of them. Ordinals count the stream's packets as the demuxer
// reads them, from 0.
struct PacketIndex {
  int64_t packets = 0;
  std::vector<int64_t> ordinals;
  std::vector<int64_t> positions;  // byte position in the source, -1 when unknown
  std::vector<int64_t> pts;        // AV_NOPTS_VALUE when the container gives none
  std::vector<int64_t> dts;
  // Per key packet: the last packet before the next key packet that is shown
  // before it (its own ordinal when none is), -1 when a packet lacks a time
  // stamp to tell.
  std::vector<int64_t> last_leading;
  // Per key packet: how many leading pictures follow it in decode order, as
  // HEVC's NAL unit types mark them in Annex B streams (which carry no time
  // stamps to tell); -1 where the stream does not say.
  std::vector<int64_t> leading;
  bool hevc = false;
  bool counting_leading = false;
  // Every packet's presentation time stamp, in decode order, and whether no
  // other picture refers to its picture (H.264 nal_ref_idc 0; in HEVC a
  // sub-layer non-reference picture of the highest sub-layer, settled by
  // finish()), so a decoder need not be given it.
  int length_size = 0;  // bytes of a NAL unit's length in MP4 and Matroska packets; 0: Annex B
  int reorder = 0;      // pictures the decoder may hold back to reorder, as the stream and its probe say
  std::vector<int64_t> all_pts;
  std::vector<uint8_t> unreferenced;
  std::vector<int8_t> sub_layer;  // HEVC: a non-reference picture's TemporalId, -1 for others
  int top_sub_layer = 0;
  std::unordered_map<int64_t, std::size_t> by_position;
  quillon_native::HevcReferences references;  // HEVC: which pictures each one predicts from

  // Called with every packet, in decode order.
  void add(int64_t ordinal, const AVPacket& packet) {
    all_pts.push_back(packet.pts);
    const int header = first_slice_header(packet.data, packet.size, hevc, length_size);
    if (hevc) {
      references.add_packet(packet.data, packet.size, length_size, (packet.flags & AV_PKT_FLAG_KEY) != 0);
      const int type = header < 0 ? -1 : (header >> 9) & 0x3F;
      const int layer = header < 0 ? 0 : (header & 0x7) - 1;
      top_sub_layer = std::max(top_sub_layer, layer);
      sub_layer.push_back(type >= 0 && type < 16 && type % 2 == 0 ? static_cast<int8_t>(layer) : -1);
      unreferenced.push_back(0);
    } else {
      unreferenced.push_back(header >= 0 && (header & 0x60) == 0 ? 1 : 0);
    }
    if ((packet.flags & AV_PKT_FLAG_KEY) == 0) {
      if (counting_leading && length_size == 0 && hevc_leading_picture(packet.data, packet.size)) {
        ++leading.back();
      } else {
        counting_leading = false;  // leading pictures come first, before every trailing one
      }
      if (last_leading.empty() || last_leading.back() < 0) return;
      if (packet.pts == AV_NOPTS_VALUE || pts.back() == AV_NOPTS_VALUE) {
        last_leading.back() = -1;
      } else if (packet.pts < pts.back()) {
        last_leading.back() = ordinal;
      }
      return;
    }
    if (packet.pos >= 0) by_position.emplace(packet.pos, ordinals.size());
    ordinals.push_back(ordinal);
    positions.push_back(packet.pos);
    pts.push_back(packet.pts);
    dts.push_back(packet.dts);
    last_leading.push_back(ordinal);
    counting_leading = hevc && length_size == 0 && starts_annexb(packet.data, packet.size);
    leading.push_back(counting_leading ? 0 : -1);
  }

  // The key whose packet this is, or -1. Byte positions tell packets apart
  // in every container that has them; time stamps serve the others.
  std::ptrdiff_t find(const AVPacket& packet) const {
    if (packet.pos >= 0) {
      const auto found = by_position.find(packet.pos);
      return found == by_position.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
    }
    for (std::size_t k = 0; k < ordinals.size(); ++k) {
      if (positions[k] < 0 && pts[k] == packet.pts && dts[k] == packet.dts) return static_cast<std::ptrdiff_t>(k);
    }
    return -1;
  }

  // Once every packet is added: in HEVC, pictures of the highest sub-layer
  // marked as sub-layer non-reference are referred to by no picture.
  void finish() {
    if (!hevc) return;
    for (std::size_t i = 0; i < sub_layer.size(); ++i) unreferenced[i] = sub_layer[i] == top_sub_layer ? 1 : 0;
  }

  template <typename T>
  py::array_t<T> array(const std::vector<T>& values) const {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
    return out;
  }
};

// The container and its best video stream.
class Demuxer {
 public:
  Demuxer(const std::string& url, double timeout, const py::object& given_options)
      : url_(without_password(url)), timeout_(timeout) {
    if (!(timeout > 0.0 && timeout <= kLongestTimeout)) {
      throw py::value_error("timeout must be a positive number of seconds, at most " +
                            std::to_string(static_cast<int64_t>(kLongestTimeout)) + ", not " +
                            py::repr(py::float_(timeout)).cast<std::string>());
    }
    packet_.reset(av_packet_alloc());
    if (!packet_) throw std::bad_alloc();
    format_ = avformat_alloc_context();
    if (format_ == nullptr) throw std::bad_alloc();
    format_->interrupt_callback.callback = &Demuxer::interrupted;
    format_->interrupt_callback.opaque = this;
    AVDictionary* options = nullptr;
    set_time_outs(&options, url, static_cast<int64_t>(timeout * 1e6));
    try {
      add_options(&options, given_options);
    } catch (...) {
      av_dict_free(&options);
      avformat_free_context(format_);
      format_ = nullptr;
      throw;
    }
    const int code = quillon::unlocked([&] {
      arm();
      const auto file = quillon_native::identify_file(url);  // as it is before it is read
      int opened = avformat_open_input(&format_, url.c_str(), nullptr, &options);
      av_dict_free(&options);
      const int known = opened >= 0 && file ? quillon_native::recall_stream_facts(*file, format_) : -1;
      if (known != -1) return known;
      if (opened >= 0) opened = avformat_find_stream_info(format_, nullptr);
      if (opened >= 0) opened = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      if (opened >= 0 && file) quillon_native::remember_stream_facts(url, *file, format_, opened);
      return opened;
    });
    if (code < 0) {
      const bool no_stream = format_ != nullptr && code == AVERROR_STREAM_NOT_FOUND;
      avformat_close_input(&format_);
      if (no_stream) {
        PyErr_SetString(PyExc_OSError, ("cannot open " + url_ + ": it holds no video stream").c_str());
        throw py::error_already_set();
      }
      raise_open_error(url_, code);
    }
    index_ = code;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (static_cast<int>(i) != index_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
  }

  ~Demuxer() { release(); }
  Demuxer(const Demuxer&) = delete;
  Demuxer& operator=(const Demuxer&) = delete;

  void close() {
    Busy busy(mutex_);
    release();
  }

  void release() {
    av_bsf_free(&filter_);
    avformat_close_input(&format_);
    if (pending_) av_packet_unref(pending_.get());
  }

  AVStream* stream() const {
    if (format_ == nullptr) throw py::value_error("the video is closed");
    return format_->streams[index_];
  }

  std::string codec() const { return avcodec_get_name(stream()->codecpar->codec_id); }
  int width() const { return stream()->codecpar->width; }
  int height() const { return stream()->codecpar->height; }
  py::object fps() const {
    AVRational rate = stream()->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream()->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) return py::none();
    return py::make_tuple(rate.num, rate.den);
  }
  py::object duration() const {
    double seconds = seconds_or_negative(stream()->duration, stream()->time_base);
    if (seconds < 0 && format_->duration > 0) seconds = static_cast<double>(format_->duration) / AV_TIME_BASE;
    return seconds < 0 ? py::none() : py::object(py::float_(seconds));
  }
  py::object frame_count() const {
    return stream()->nb_frames > 0 ? py::object(py::int_(stream()->nb_frames)) : py::none();
  }
  py::tuple time_base() const { return py::make_tuple(stream()->time_base.num, stream()->time_base.den); }
  std::string pixel_format() const {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(stream()->codecpar->format));
    return name != nullptr ? name : "";
  }
  int bit_depth() const {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(stream()->codecpar->format));
    return d != nullptr ? d->comp[0].depth : 0;
  }
  bool bt709() const { return stream()->codecpar->color_space == AVCOL_SPC_BT709; }
  int rotation() const { return quillon_native::display_rotation(stream()); }
  std::string format_name() const { return format_ != nullptr && format_->iformat ? format_->iformat->name : ""; }

  // The next packet as (Annex B bytes, pts in the time base or None, key
  // picture), or None at the end of the stream.
  py::object read() {
    Busy busy(mutex_);
    stream();
    const int code = quillon::unlocked([&] { return next_annexb(packet_.get()); });
    if (code == AVERROR_EOF) return py::none();
    if (code < 0) throw_read_error(code);
    // After positioning at a key packet, the decoder starts afresh: it gets
    // the stream's parameter sets unless the packet holds them (the
    // mp4toannexb filters add them before IDR pictures only).
    const std::vector<uint8_t>* prefix = nullptr;
    if (prepend_) {
      prepend_ = false;
      if (!holds_sequence_parameters(packet_->data, packet_->size, stream()->codecpar->codec_id))
        prefix = &parameter_sets_;
    }
    const std::size_t extra = prefix != nullptr ? prefix->size() : 0;
    py::array_t<uint8_t> bytes(static_cast<py::ssize_t>(extra + static_cast<std::size_t>(packet_->size)));
    if (extra > 0) std::memcpy(bytes.mutable_data(), prefix->data(), extra);
    std::memcpy(bytes.mutable_data() + extra, packet_->data, static_cast<std::size_t>(packet_->size));
    const int64_t pts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
    py::object stamp = pts == AV_NOPTS_VALUE ? py::none() : py::object(py::int_(pts));
    const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    av_packet_unref(packet_.get());
    return py::make_tuple(bytes, stamp, key);
  }

  // Moves to the random-access point at or before `seconds`.
  void seek(double seconds) {
    Busy busy(mutex_);
    AVStream* video = stream();
    // Converting a double outside int64's range is undefined: NaN, the
    // infinities and times beyond it are the caller's mistake.
    const double micros = seconds * AV_TIME_BASE;
    if (!(micros >= -kTwoTo63 && micros < kTwoTo63)) {
      const std::string bound = std::to_string(INT64_MAX / AV_TIME_BASE);
      throw py::value_error("seek: seconds must be a finite number between -" + bound + " and " + bound + ", not " +
                            py::repr(py::float_(seconds)).cast<std::string>());
    }
    const int64_t target = av_rescale_q(static_cast<int64_t>(micros), AV_TIME_BASE_Q, video->time_base);
    const int code = quillon::unlocked([&] {
      arm();
      int sought = av_seek_frame(format_, index_, target, AVSEEK_FLAG_BACKWARD);
      // Streams without an index (raw Annex B) can only start again from the top.
      if (sought < 0) sought = avformat_seek_file(format_, index_, INT64_MIN, target, target, 0);
      if (sought < 0 && seconds <= 0) sought = avio_seek(format_->pb, 0, SEEK_SET) < 0 ? -1 : 0;
      return sought;
    });
    if (code < 0) throw py::value_error("cannot seek in " + url_ + ": " + av_error_text(code));
    forget_read_ahead();
  }

  // Every packet of the stream read once, from the top, without handing its
  // bytes to Python: the key packets' ordinals, positions and time stamps,
  // and the number of packets.
  PacketIndex index() {
    Busy busy(mutex_);
    stream();
    if (touched_) throw py::value_error("index() reads the stream from the top: use a demuxer not read yet");
    PacketIndex result;
    result.hevc = stream()->codecpar->codec_id == AV_CODEC_ID_HEVC;
    const AVCodecParameters* parameters = stream()->codecpar;
    result.reorder = parameters->video_delay;
    // avcC keeps the length's size at byte 4, hvcC at byte 21 (low 2 bits, less one).
    const int at = result.hevc ? 21 : 4;
    if (parameters->extradata != nullptr && parameters->extradata_size > at && parameters->extradata[0] == 1)
      result.length_size = (parameters->extradata[at] & 3) + 1;
    if (result.hevc) result.references.add_parameter_sets(parameters->extradata, parameters->extradata_size);
    const int code = quillon::unlocked([&] {
      AVPacket* packet = packet_.get();
      int read = 0;
      while ((read = next_raw(packet)) >= 0) {
        result.add(result.packets++, *packet);
        av_packet_unref(packet);
      }
      return read;
    });
    if (code != AVERROR_EOF) throw_read_error(code);
    result.finish();
    return result;
  }

  // Positions the demuxer so that read() returns packet `ordinal` next (0 or
  // a key packet of `index`, which must be this source's). A seek backward
  // from its presentation time, else its decoding time (by byte for streams
  // without time stamps) lands at or before it, and the packets are read
  // forward to it; when both seeks land past it, or the source does not
  // seek, it is read from the top instead.
  void seek_packet(const PacketIndex& index, int64_t ordinal) {
    Busy busy(mutex_);
    stream();
    std::ptrdiff_t key = -1;
    for (std::size_t k = 0; k < index.ordinals.size(); ++k) {
      if (index.ordinals[k] == ordinal) key = static_cast<std::ptrdiff_t>(k);
    }
    if (key < 0 && ordinal != 0)
      throw py::value_error("packet " + std::to_string(ordinal) + " is not a key packet of " + url_);
    bool found = false;
    const int code = quillon::unlocked([&] {
      int read = 0;
      for (int attempt = key > 0 ? 0 : 2; attempt < 3 && !found && read >= 0; ++attempt) {
        const bool from_top = attempt == 2;
        if ((from_top ? rewind(index) : seek_near(index, static_cast<std::size_t>(key), attempt == 1)) < 0) continue;
        forget_read_ahead();
        read = read_to(index, ordinal, from_top, found);
      }
      return read;
    });
    if (code < 0) throw_read_error(code);
    if (!found) throw py::value_error("cannot find packet " + std::to_string(ordinal) + " in " + url_);
    prepend_ = true;
  }

  // The next packet as stored, for the host decoder. Called without the
  // interpreter lock.
  int next_raw(AVPacket* out) {
    if (format_ == nullptr) return AVERROR_EOF;
    touched_ = true;
    if (pending_ && pending_->size > 0) {
      av_packet_move_ref(out, pending_.get());
      return 0;
    }
    for (;;) {
      arm();
      const int code = av_read_frame(format_, out);
      if (code < 0) return code;
      if (out->stream_index == index_) return 0;
      av_packet_unref(out);
    }
  }

  // A source that fails part way (a damaged or cut file, a dropped
  // connection) is an OSError naming it, as one that cannot be opened is.
  [[noreturn]] void throw_read_error(int code) const {
    PyErr_SetString(PyExc_OSError, ("cannot read " + url_ + ": " + av_error_text(code)).c_str());
    throw py::error_already_set();
  }

  std::mutex& mutex() { return mutex_; }

 private:
  static int interrupted(void* opaque) {
    const auto* self = static_cast<const Demuxer*>(opaque);
    return Clock::now() > self->deadline_.load() ? 1 : 0;
  }

  void arm() {
    deadline_.store(Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_)));
  }

  void forget_read_ahead() {
    if (filter_ != nullptr) av_bsf_flush(filter_);
    if (pending_) av_packet_unref(pending_.get());
    prepend_ = false;
  }

  // A packet without time stamps can only be found again by its byte
  // position (raw Annex B streams).
  static bool by_byte(const PacketIndex& index, std::size_t key) {
    return index.pts[key] == AV_NOPTS_VALUE && index.dts[key] == AV_NOPTS_VALUE && index.positions[key] >= 0;
  }

  // Containers seek by presentation time (Matroska, MP4) or by decoding
  // time: the first attempt takes the key packet's presentation time, the
  // second its decoding time, which is never later.
  int seek_near(const PacketIndex& index, std::size_t key, bool by_decoding_time) {
    arm();
    if (by_byte(index, key)) {
      if (by_decoding_time) return -1;  // the byte seek was tried
      return av_seek_frame(format_, -1, index.positions[key], AVSEEK_FLAG_BYTE);
    }
    const int64_t presentation = index.pts[key];
    const int64_t decoding = index.dts[key];
    int64_t stamp = presentation != AV_NOPTS_VALUE ? presentation : decoding;
    if (by_decoding_time) {
      if (decoding == AV_NOPTS_VALUE || decoding == stamp) return -1;
      stamp = decoding;
    }
    return av_seek_frame(format_, index_, stamp, AVSEEK_FLAG_BACKWARD);
  }

  int rewind(const PacketIndex& index) {
    arm();
    // A generic seek by time stamp reads packets to find its place: streams
    // without time stamps go back to their first byte instead.
    if (index.ordinals.empty() || by_byte(index, 0)) {
      if ((format_->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0 && av_seek_frame(format_, -1, 0, AVSEEK_FLAG_BYTE) >= 0)
        return 0;
      return avio_seek(format_->pb, 0, SEEK_SET) < 0 ? -1 : 0;
    }
    int64_t first = stream()->start_time;
    if (first == AV_NOPTS_VALUE) first = 0;
    if (index.dts[0] != AV_NOPTS_VALUE && index.dts[0] < first) first = index.dts[0];
    if (index.pts[0] != AV_NOPTS_VALUE && index.pts[0] < first) first = index.pts[0];
    int code = av_seek_frame(format_, index_, first, AVSEEK_FLAG_BACKWARD);
    if (code < 0) code = avformat_seek_file(format_, index_, INT64_MIN, first, first, 0);
    return code;
  }

  // Reads forward to packet `target` and keeps it for the next read. The
  // first packet found in `index` (from the top: the first packet) tells
  // where reading stands. `found` stays false when the target was passed or
  // the stream ended first.
  int read_to(const PacketIndex& index, int64_t target, bool from_top, bool& found) {
    if (!pending_) pending_.reset(av_packet_alloc());
    if (!pending_) return AVERROR(ENOMEM);
    AVPacket* packet = packet_.get();
    int64_t ordinal = -1;
    for (bool first = true;; first = false) {
      const int code = next_raw(packet);
      if (code == AVERROR_EOF) return 0;
      if (code < 0) return code;
      if (ordinal >= 0) {
        ++ordinal;
      } else {
        const std::ptrdiff_t key = index.find(*packet);
        if (key >= 0) {
          ordinal = index.ordinals[static_cast<std::size_t>(key)];
        } else if (from_top && first) {
          ordinal = 0;
        }
      }
      if (ordinal == target) {
        av_packet_move_ref(pending_.get(), packet);
        found = true;
        return 0;
      }
      av_packet_unref(packet);
      if (ordinal > target) return 0;
    }
  }

  int open_filter() {
    const AVCodecParameters* parameters = stream()->codecpar;
    const char* name = parameters->codec_id == AV_CODEC_ID_H264   ? "h264_mp4toannexb"
                       : parameters->codec_id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb"
                                                                  : "null";
    const AVBitStreamFilter* kind = av_bsf_get_by_name(name);
    if (kind == nullptr) return AVERROR_BSF_NOT_FOUND;
    int code = av_bsf_alloc(kind, &filter_);
    if (code >= 0) code = avcodec_parameters_copy(filter_->par_in, parameters);
    if (code >= 0) {
      filter_->time_base_in = stream()->time_base;
      code = av_bsf_init(filter_);
    }
    if (code < 0) {
      av_bsf_free(&filter_);
      return code;
    }
    // The filters give the parameter sets of MP4 and Matroska extradata in
    // Annex B; raw streams carry them so already.
    const AVCodecParameters* out = filter_->par_out;
    if (out->extradata != nullptr && starts_annexb(out->extradata, out->extradata_size))
      parameter_sets_.assign(out->extradata, out->extradata + out->extradata_size);
    return code;
  }

  // After the last packet the filter is told the stream ended; it then hands
  // out what it still holds and reports the end itself.
  int next_annexb(AVPacket* out) {
    if (filter_ == nullptr) {
      const int code = open_filter();
      if (code < 0) return code;
    }
    for (;;) {
      int code = av_bsf_receive_packet(filter_, out);
      if (code == 0 && filter_->par_in->codec_id == AV_CODEC_ID_H264) code = drop_false_idr_units(out);
      if (code != AVERROR(EAGAIN)) return code;
      code = next_raw(out);
      if (code == AVERROR_EOF) {
        if (av_bsf_send_packet(filter_, nullptr) < 0) return AVERROR_EOF;
        continue;
      }
      if (code < 0) return code;
      code = av_bsf_send_packet(filter_, out);
      if (code < 0) {
        av_packet_unref(out);
        return code;
      }
    }
  }

  std::string url_;
  double timeout_;
  std::atomic<Clock::time_point> deadline_{Clock::time_point::max()};
  AVFormatContext* format_ = nullptr;
  AVBSFContext* filter_ = nullptr;
  Packet packet_;
  Packet pending_;  // the packet positioning stopped at, read next
  std::vector<uint8_t> parameter_sets_;
  bool prepend_ = false;
  bool touched_ = false;
  int index_ = -1;
  std::mutex mutex_;
};

// libavcodec on the host for the codecs the card lacks; pictures come out
// converted by libswscale into one buffer of this object, valid until the
// next read.
class HostDecoder {
 public:
  HostDecoder(Demuxer& demuxer, const std::string& format) : demuxer_(demuxer) {
    if (format == "nv12") {
      output_ = AV_PIX_FMT_NV12;
    } else if (format == "rgb24") {
      output_ = AV_PIX_FMT_RGB24;
    } else {
      throw py::value_error("format must be 'nv12' or 'rgb24', not '" + format + "'");
    }
    const AVCodecParameters* parameters = demuxer.stream()->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (codec == nullptr)
      throw py::value_error("no decoder for " + std::string(avcodec_get_name(parameters->codec_id)));
    context_ = avcodec_alloc_context3(codec);
    packet_.reset(av_packet_alloc());
    frame_ = av_frame_alloc();
    if (context_ == nullptr || !packet_ || frame_ == nullptr) throw std::bad_alloc();
    int code = avcodec_parameters_to_context(context_, parameters);
    context_->pkt_timebase = demuxer.stream()->time_base;
    context_->thread_count = 0;
    context_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (code >= 0) code = avcodec_open2(context_, codec, nullptr);
    if (code < 0) throw py::value_error("cannot start the host decoder: " + av_error_text(code));
  }

  ~HostDecoder() {
    sws_freeContext(scaler_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }
  HostDecoder(const HostDecoder&) = delete;
  HostDecoder& operator=(const HostDecoder&) = delete;

  // The next picture as (pts or None, address capsule, byte count, width,
  // height), or None at the end of the stream.
  py::object read() {
    Busy busy(demuxer_.mutex());
    demuxer_.stream();
    const int code = quillon::unlocked([&] { return next_picture(); });
    if (code == AVERROR_EOF) return py::none();
    if (code < 0) demuxer_.throw_read_error(code);
    py::object stamp = pts_ == AV_NOPTS_VALUE ? py::none() : py::object(py::int_(pts_));
    py::capsule address(static_cast<void*>(pixels_.data()), nullptr, nullptr);
    return py::make_tuple(stamp, address, pixels_.size(), width_, height_);
  }

  bool damaged() const { return damaged_; }

  // After a seek: forget the pictures in flight.
  void flush() {
    Busy busy(demuxer_.mutex());
    avcodec_flush_buffers(context_);
    draining_ = false;
    failure_ = 0;
  }

 private:
  int next_picture() {
    for (;;) {
      int code = avcodec_receive_frame(context_, frame_);
      if (code == 0) {
        pts_ = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
        // libavcodec's own report: damage concealed, or references missing.
        damaged_ = frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
        code = convert();
        av_frame_unref(frame_);
        if (code == AVERROR(EAGAIN)) continue;  // a damaged picture is skipped, as the card skips it
        return code;
      }
      if (code == AVERROR_EOF && failure_ < 0) return failure_;
      if (code != AVERROR(EAGAIN) || draining_) return code;
      code = demuxer_.next_raw(packet_.get());
      // A source that fails part way ends the stream as its end would: the
      // pictures still in the decoder come out first, then the failure.
      if (code < 0) {
        if (code != AVERROR_EOF) failure_ = code;
        draining_ = true;
        avcodec_send_packet(context_, nullptr);
        continue;
      }
      code = avcodec_send_packet(context_, packet_.get());
      av_packet_unref(packet_.get());
      // A damaged packet is dropped; decoding goes on with the next one.
      if (code < 0 && code != AVERROR_INVALIDDATA) return code;
    }
  }

  int convert() {
    const int width = frame_->width;
    const int height = frame_->height;
    if (width <= 0 || height <= 0) return AVERROR(EAGAIN);
    if (output_ == AV_PIX_FMT_NV12 && (width % 2 != 0 || height % 2 != 0)) return AVERROR(EINVAL);
    // The same filter as PyAV's default reformat, so pictures equal its own.
    scaler_ = sws_getCachedContext(scaler_, width, height, static_cast<AVPixelFormat>(frame_->format), width, height,
                                   output_, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return AVERROR(ENOSYS);
    uint8_t* planes[4] = {};
    int linesizes[4] = {};
    const int size = av_image_get_buffer_size(output_, width, height, 1);
    if (size < 0) return size;
    pixels_.resize(static_cast<std::size_t>(size));
    av_image_fill_arrays(planes, linesizes, pixels_.data(), output_, width, height, 1);
    sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, linesizes);
    width_ = width;
    height_ = height;
    return 0;
  }

  Demuxer& demuxer_;
  AVPixelFormat output_ = AV_PIX_FMT_NONE;
  AVCodecContext* context_ = nullptr;
  Packet packet_;
  AVFrame* frame_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::vector<uint8_t> pixels_;
  int64_t pts_ = AV_NOPTS_VALUE;
  int width_ = 0;
  int height_ = 0;
  bool draining_ = false;
  int failure_ = 0;  // the read error that ended the stream, reported once drained
  bool damaged_ = false;
};

namespace {

// An unnamed capsule of a contiguous buffer's first byte, for the card's copy
// functions to read from or (writable) write into; the caller keeps the
// buffer alive.
py::capsule address_of(const py::buffer& target, bool writable) {
  py::buffer_info info = target.request(writable);
  bool contiguous = true;
  py::ssize_t expected = info.itemsize;
  for (py::ssize_t axis = info.ndim - 1; axis >= 0; --axis) {
    if (info.shape[axis] != 1 && info.strides[axis] != expected) contiguous = false;
    expected *= info.shape[axis];
  }
  if (!contiguous) throw py::value_error("the buffer must be C-contiguous");
  return py::capsule(info.ptr, nullptr, nullptr);
}

}  // namespace

void register_demux(py::module_& m) {
  quillon_native::native_class<PacketIndex>(m, "PacketIndex",
                                            "The key packets of a video stream, as Demuxer.index() finds them.")
      .def_readonly("packets", &PacketIndex::packets, "Packets in the stream.")
      .def_property_readonly(
          "key_ordinals", [](const PacketIndex& i) { return i.array(i.ordinals); },
          "Ordinals of the key packets (decode order, from 0), as an int64 array.")
      .def_property_readonly(
          "key_positions", [](const PacketIndex& i) { return i.array(i.positions); },
          "Their byte positions in the source (-1 when unknown).")
      .def_property_readonly(
          "key_pts", [](const PacketIndex& i) { return i.array(i.pts); },
          "Their presentation time stamps in the time base (-2**63 when missing).")
      .def_property_readonly(
          "key_dts", [](const PacketIndex& i) { return i.array(i.dts); },
          "Their decoding time stamps in the time base (-2**63 when missing).")
      .def_property_readonly(
          "key_last_leading", [](const PacketIndex& i) { return i.array(i.last_leading); },
          "For each, the last packet before the next key packet that is shown before it (its own ordinal when "
          "none is), -1 when packets without time stamps leave it unknown.")
      .def_property_readonly(
          "key_leading", [](const PacketIndex& i) { return i.array(i.leading); },
          "For each, the leading pictures that follow it as HEVC marks them in Annex B streams (-1 elsewhere).")
      .def_property_readonly(
          "pts", [](const PacketIndex& i) { return i.array(i.all_pts); },
          "Every packet's presentation time stamp in decode order (-2**63 when missing).")
      .def_readonly("reorder", &PacketIndex::reorder,
                    "Pictures the decoder may hold back to reorder them, as the stream's parameters and the probe "
                    "of its first packets say (0: pictures are shown in decode order).")
      .def_property_readonly(
          "unreferenced", [](const PacketIndex& i) { return i.array(i.unreferenced); },
          "For every packet, 1 when no other picture refers to its picture (H.264 nal_ref_idc 0, HEVC "
          "sub-layer non-reference pictures of the highest sub-layer), as a uint8 array.")
      .def_property_readonly(
          "references",
          [](const PacketIndex& i) -> py::object {
            if (!i.hevc || !i.references.known()) return py::none();
            return py::make_tuple(i.array(i.references.offsets()), i.array(i.references.ordinals()));
          },
          "HEVC: the pictures each packet's picture predicts from, as its slices' reference picture lists "
          "name them: (offsets, ordinals), int64 arrays, those of packet i being ordinals[offsets[i]:offsets[i + "
          "1]]. None for other codecs and where a stream leaves them unknown (long-term references, parameter "
          "sets between key packets, a picture that may predict from one no reference set holds).");

  quillon_native::native_class<Demuxer>(m, "Demuxer", "The video stream of a container file, an Annex B file or a URL.")
      .def(py::init<const std::string&, double, const py::object&>(), py::arg("url"), py::arg("timeout") = 10.0,
           py::arg("options") = py::none(),
           "Opens `url` (a path or an http/https/rtsp URL) and finds its video stream. A source that does not "
           "answer within `timeout` seconds fails; `options` (a dict) go to libavformat as they are. Raises "
           "OSError when it cannot be opened or holds no video; messages show a password in `url` as ***.")
      .def_property_readonly("codec", &Demuxer::codec, "libavcodec's name of the codec, such as 'h264'.")
      .def_property_readonly("width", &Demuxer::width)
      .def_property_readonly("height", &Demuxer::height)
      .def_property_readonly("fps", &Demuxer::fps, "The frame rate as (numerator, denominator), or None.")
      .def_property_readonly("duration", &Demuxer::duration, "Seconds, or None when the container does not say.")
      .def_property_readonly("frame_count", &Demuxer::frame_count, "Pictures in the stream, or None when unknown.")
      .def_property_readonly("time_base", &Demuxer::time_base,
                             "The unit of the time stamps as (numerator, denominator).")
      .def_property_readonly("pixel_format", &Demuxer::pixel_format, "libavutil's name of the coded picture format.")
      .def_property_readonly("bit_depth", &Demuxer::bit_depth, "Bits per luma sample.")
      .def_property_readonly("bt709", &Demuxer::bt709, "Whether the stream declares BT.709 colours.")
      .def_property_readonly("rotation", &Demuxer::rotation,
                             "The counter-clockwise turn in degrees (0 to 359) that shows the pictures upright, as "
                             "the container's display matrix says; 0 without one.")
      .def_property_readonly("format_name", &Demuxer::format_name, "libavformat's name of the container.")
      .def("read", &Demuxer::read,
           "The next packet of the video stream as (Annex B bytes as a uint8 array, pts in the time base or None, "
           "key picture), or None at the end. Raises OSError when the source fails part way.")
      .def("seek", &Demuxer::seek, py::arg("seconds"), "Moves to the random-access point at or before `seconds`.")
      .def("index", &Demuxer::index,
           "Reads every packet of a demuxer not read yet and returns its key packets as a PacketIndex.")
      .def("seek_packet", &Demuxer::seek_packet, py::arg("index"), py::arg("ordinal"),
           "Positions the demuxer at packet `ordinal` (0 or a key packet of `index`, this source's PacketIndex): "
           "read() returns it next, with the stream's parameter sets before it when it lacks them.")
      .def("close", &Demuxer::close, "Closes the source; reading afterwards raises ValueError.");

  quillon_native::native_class<HostDecoder>(m, "HostDecoder",
                                            "libavcodec on the host, for codecs the card does not decode.")
      .def(py::init<Demuxer&, const std::string&>(), py::arg("demuxer"), py::arg("format"), py::keep_alive<1, 2>(),
           "Decodes the packets of `demuxer` into pictures of `format` ('nv12' or 'rgb24').")
      .def("read", &HostDecoder::read,
           "The next picture as (pts or None, address capsule, byte count, width, height), or None at the end. "
           "The bytes are valid until the next call. A source that fails part way gives the pictures still in the "
           "decoder, then raises OSError.")
      .def_property_readonly("damaged", &HostDecoder::damaged,
                             "Whether libavcodec reported damage in the picture read last (concealed, or decoded "
                             "from missing references).")
      .def("flush", &HostDecoder::flush, "Forgets the pictures in flight, after a seek.");

  m.def("address_of", &address_of, py::arg("buffer"), py::arg("writable") = true,
        "An unnamed capsule of the first byte of a C-contiguous buffer (refused when `writable` and the buffer is "
        "read-only); the caller keeps the buffer alive while the address is used.");
}
