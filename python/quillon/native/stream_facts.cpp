// The process's memory of probed video files (see stream_facts.h): a few
// dozen entries, the most recently used kept, looked up by device and inode.
#include "stream_facts.h"

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>

namespace quillon_native {
namespace {

// Files remembered at most: a folder of clips is cut and decoded one clip
// after another, so the last few are the ones opened again.
constexpr std::size_t kRemembered = 64;

struct ParametersFree {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};

struct StreamFacts {
  FileIdentity file;
  unsigned streams = 0;
  int index = -1;
  std::unique_ptr<AVCodecParameters, ParametersFree> parameters;
  AVRational average_rate{};
  AVRational real_rate{};
  int64_t start_time = AV_NOPTS_VALUE;
  int64_t duration = AV_NOPTS_VALUE;
  int64_t format_start_time = AV_NOPTS_VALUE;
  int64_t format_duration = AV_NOPTS_VALUE;
};

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && same_time(a.modified, b.modified) &&
         same_time(a.changed, b.changed);
}

// Whether what a container's header gives for a stream before probing (the
// codec, the size, the parameter sets in the extra data) agrees with the
// remembered probe's result. What probing adds (the picture format,
// profile, level, colours) comes from those parameter sets, so a file
// rewritten to the same size within the resolution of its time stamps is
// still caught, unless its stream is coded with the very same sets.
bool same_header(const AVCodecParameters& opened, const AVCodecParameters& known) {
  return opened.codec_type == AVMEDIA_TYPE_VIDEO && opened.codec_id == known.codec_id && opened.width == known.width &&
         opened.height == known.height && opened.extradata_size == known.extradata_size &&
         (opened.extradata_size == 0 ||
          std::memcmp(opened.extradata, known.extradata, static_cast<std::size_t>(opened.extradata_size)) == 0);
}

// MP4 and its kin list every packet with both its time stamps in their
// headers, so that probing adds nothing but what the stream's parameter
// sets say. Not so Matroska, whose decoding time stamps libavformat works
// out from the probe's decoder (a recalled opening gave the first packet
// none), nor streams that need parsing.
bool rememberable(const AVInputFormat* format) {
  return format != nullptr && format->name != nullptr && std::strcmp(format->name, "mov,mp4,m4a,3gp,3g2,mj2") == 0;
}

std::mutex facts_mutex;
std::list<StreamFacts>& remembered() {
  static auto* facts = new std::list<StreamFacts>();  // never destroyed: demuxers may open during exit
  return *facts;
}

// The entry of the file at that device and inode, in whatever state it was
// remembered; the end when there is none. Called with the lock held.
std::list<StreamFacts>::iterator entry_of(const FileIdentity& file) {
  auto& facts = remembered();
  for (auto it = facts.begin(); it != facts.end(); ++it) {
    if (it->file.device == file.device && it->file.inode == file.inode) return it;
  }
  return facts.end();
}

}  // namespace

std::optional<FileIdentity> identify_file(const std::string& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  FileIdentity file;
  file.device = status.st_dev;
  file.inode = status.st_ino;
  file.size = status.st_size;
  file.modified = status.st_mtim;
  file.changed = status.st_ctim;
  return file;
}

int recall_stream_facts(const FileIdentity& file, AVFormatContext* format) {
  if (!rememberable(format->iformat)) return -1;
  std::lock_guard<std::mutex> lock(facts_mutex);
  auto& facts = remembered();
  const auto it = entry_of(file);
  if (it == facts.end()) return -1;
  // The stream count is checked first: the remembered index is only valid with it.
  AVStream* stream = it->streams == format->nb_streams ? format->streams[it->index] : nullptr;
  if (stream == nullptr || !same_file(it->file, file) || !same_header(*stream->codecpar, *it->parameters)) {
    facts.erase(it);
    return -1;
  }
  // A failed copy leaves the stream's parameters half cleared: the opening fails.
  const int copied = avcodec_parameters_copy(stream->codecpar, it->parameters.get());
  if (copied < 0) return copied;
  stream->avg_frame_rate = it->average_rate;
  stream->r_frame_rate = it->real_rate;
  stream->start_time = it->start_time;
  stream->duration = it->duration;
  format->start_time = it->format_start_time;
  format->duration = it->format_duration;
  facts.splice(facts.begin(), facts, it);
  return facts.front().index;
}

void remember_stream_facts(const std::string& path, const FileIdentity& file, const AVFormatContext* format,
                           int index) {
  if (!rememberable(format->iformat) || index < 0 || static_cast<unsigned>(index) >= format->nb_streams) return;
  const AVStream* stream = format->streams[index];
  if (stream->codecpar->format < 0) return;  // the probe did not find it all
  // A file written to while it was probed is not the file that was probed.
  const auto now = identify_file(path);
  if (!now || !same_file(*now, file)) return;
  StreamFacts facts;
  facts.file = file;
  facts.streams = format->nb_streams;
  facts.index = index;
  facts.parameters.reset(avcodec_parameters_alloc());
  if (!facts.parameters || avcodec_parameters_copy(facts.parameters.get(), stream->codecpar) < 0) return;
  facts.average_rate = stream->avg_frame_rate;
  facts.real_rate = stream->r_frame_rate;
  facts.start_time = stream->start_time;
  facts.duration = stream->duration;
  facts.format_start_time = format->start_time;
  facts.format_duration = format->duration;
  std::lock_guard<std::mutex> lock(facts_mutex);
  auto& all = remembered();
  const auto stale = entry_of(file);
  if (stale != all.end()) all.erase(stale);
  all.push_front(std::move(facts));
  if (all.size() > kRemembered) all.pop_back();
}

int display_rotation(const AVStream* stream) {
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (matrix == nullptr) return 0;
  // A NaN (a matrix of zeros) is no turn.
  const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (!std::isfinite(angle)) return 0;
  const long degrees = std::lround(angle) % 360;
  return static_cast<int>(degrees < 0 ? degrees + 360 : degrees);
}

}  // namespace quillon_native
