// libav's messages, from every user of libav in the process (the card's
// decoders and encoders in the host SDK, this helper's demuxer and host
// decoder), go to the runtime's log instead of raw to standard error, and
// the decoders' reports of damaged pictures are counted for the summary.
//
// Levels: libav's panic and fatal messages become warnings; its errors,
// which decoders use for damage they recover from (concealment, missing
// references), become debug messages; warnings become trace messages; its
// information and chatter are dropped. QUILLON_LOG_LEVEL=debug shows them.
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>

#include "kycore/runtime_log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace py = pybind11;
using kycore::runtime_log::Level;

namespace {

std::atomic<uint64_t> g_concealed{0};
std::atomic<uint64_t> g_errors{0};
// HEVC references a decoder did not find: in a stream cut or damaged, or
// pictures a pass for a few pictures left out on purpose (it gives the
// decoder only those pictures and what they predict from, and a picture's
// reference set names more than that), so they are counted apart.
std::atomic<uint64_t> g_missing_references{0};

Level level_of(int av_level) {
  if (av_level <= AV_LOG_FATAL) return kycore::runtime_log::warn;
  if (av_level <= AV_LOG_ERROR) return kycore::runtime_log::debug;
  return kycore::runtime_log::trace;
}

// Called on libav's threads: no Python, no exception may leave it.
void route(void* context, int av_level, const char* format, va_list arguments) noexcept {
  if (av_level > AV_LOG_WARNING || format == nullptr) return;
  if (av_level <= AV_LOG_ERROR && std::strstr(format, "Could not find ref with POC") != nullptr) {
    g_missing_references.fetch_add(1, std::memory_order_relaxed);
  } else if (av_level <= AV_LOG_ERROR) {
    g_errors.fetch_add(1, std::memory_order_relaxed);
    if (std::strstr(format, "conceal") != nullptr) g_concealed.fetch_add(1, std::memory_order_relaxed);
  }
  const Level level = level_of(av_level);
  if (!kycore::runtime_log::admits(level)) return;
  try {
    char line[1024];
    int prefix = 1;
    va_list copy;
    va_copy(copy, arguments);
    av_log_format_line2(context, av_level, format, copy, line, sizeof line, &prefix);
    va_end(copy);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    kycore::runtime_log::write(kycore::runtime_log::me, level, "libav", 0, "codec", text);
  } catch (...) {
    // A message that cannot be logged is lost, never the process.
  }
}

}  // namespace

void register_codec_log(py::module_& m) {
  av_log_set_callback(route);
  m.def(
      "route_codec_messages", [] { av_log_set_callback(route); },
      "Sends libav's messages to the runtime's log again, after another library (PyAV) set its own callback.");
  m.def(
      "codec_messages",
      [] {
        py::dict counts;
        counts["concealed"] = g_concealed.load();
        counts["errors"] = g_errors.load();
        counts["missing_references"] = g_missing_references.load();
        return counts;
      },
      "Counts of libav's error messages since the package loaded: \"errors\" and, among them, \"concealed\" "
      "(damaged pictures a decoder concealed), and apart \"missing_references\" (HEVC references a decoder did "
      "not find).");
}
