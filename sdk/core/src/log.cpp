// The process-wide log: threshold and the standard-error sink.
#include "kycore/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kycore {
namespace {

std::atomic<uint32_t> g_threshold{static_cast<uint32_t>(LogLevel::info)};

const char* level_name(LogLevel level) {
  static const char* const kNames[] = {"trace", "debug", "info", "warn", "error", "alarm", "fatal", "off"};
  const auto index = static_cast<uint32_t>(level);
  return index < 8 ? kNames[index] : "?";
}

const char* channel_name(LogChannel channel) {
  static const char* const kNames[] = {"APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"};
  const auto index = static_cast<uint32_t>(channel);
  return index < 9 ? kNames[index] : "?";
}

}  // namespace

void set_log_threshold(LogLevel level) { g_threshold.store(static_cast<uint32_t>(level), std::memory_order_relaxed); }

LogLevel log_threshold() { return static_cast<LogLevel>(g_threshold.load(std::memory_order_relaxed)); }

void log_message(LogChannel channel, LogLevel level, const char* file, int line, const char* function,
                 std::string_view text) {
  if (!log_enabled(level)) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::string origin;
  if (file != nullptr && file[0] != '\0') {
    const std::string_view path(file);
    const auto slash = path.rfind('/');
    origin.append(slash == std::string_view::npos ? path : path.substr(slash + 1));
    origin.append(":").append(std::to_string(line));
  }
  if (function != nullptr && function[0] != '\0') {
    if (!origin.empty()) origin.append(" ");
    origin.append(function);
  }

  static std::mutex mutex;  // one line at a time
  std::lock_guard<std::mutex> lock(mutex);
  std::fprintf(stderr, "[%s.%03d] [%s] [%s] %s%s%.*s\n", stamp, static_cast<int>(millis), channel_name(channel),
               level_name(level), origin.c_str(), origin.empty() ? "" : ": ", static_cast<int>(text.size()),
               text.data());
  std::fflush(stderr);
}

}  // namespace kycore
