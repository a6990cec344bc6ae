// The runtime's log on top of spdlog: spdlog gives the file sink, the
// locking, the time stamps and flushing; the line layout with channel, level
// and origin is ours, and so is the console sink, which reports a failed
// write where spdlog's ignores it.
#include "kycore/runtime_log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "kycore/error_codes.h"

namespace kycore {
namespace runtime_log {
namespace {

constexpr const char* kChannelNames[] = {"APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"};
constexpr const char* kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"};
static_assert(std::size(kChannelNames) == channel_count && std::size(kLevelNames) == level_count);

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> logger;  // null until opened
  std::atomic<bool> opened{false};         // logger is set
  std::atomic<uint32_t> threshold{info};
  // The threshold was set since the log was last opened explicitly: opening
  // it for a first message keeps that threshold instead of the configured one.
  std::atomic<bool> threshold_set{false};
};

// Set by the logger's error handler, which spdlog calls on the writing
// thread instead of throwing, when a line could not be written or flushed.
thread_local bool write_failed = false;

// Standard output or standard error, flushed after every line; a line that
// does not reach the stream in full is an error.
class ConsoleSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ConsoleSink(std::FILE* stream) : stream_(stream) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t line;
    formatter_->format(message, line);
    if (std::fwrite(line.data(), 1, line.size(), stream_) != line.size() || std::fflush(stream_) != 0) {
      throw spdlog::spdlog_ex("cannot write the log line", errno);
    }
  }
  void flush_() override {
    if (std::fflush(stream_) != 0) throw spdlog::spdlog_ex("cannot flush the log", errno);
  }

 private:
  std::FILE* stream_;
};

State& state() {
  static auto* s = new State();  // never destroyed: messages may come from static destructors
  return *s;
}

bool parse_level(const char* text, Level* level) {
  if (text == nullptr || *text == '\0') {
    *level = info;
    return true;
  }
  std::string lower;
  for (const char* p = text; *p != '\0'; ++p) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  for (uint32_t i = 0; i < level_count; ++i) {
    std::string name = kLevelNames[i];
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == name || lower == std::to_string(i)) {
      *level = static_cast<Level>(i);
      return true;
    }
  }
  return false;
}

spdlog::level::level_enum spdlog_level(uint32_t level) {
  static constexpr spdlog::level::level_enum kMap[] = {
      spdlog::level::trace, spdlog::level::debug,    spdlog::level::info,     spdlog::level::warn,
      spdlog::level::err,   spdlog::level::critical, spdlog::level::critical,
  };
  return kMap[level];
}

uint32_t open_locked(State& s, bool keep_threshold) {
  Level level = info;
  if (!parse_level(std::getenv("QUILLON_LOG_LEVEL"), &level)) return KYCM_LOG_CONFIG;
  const char* destination = std::getenv("QUILLON_LOG");
  spdlog::sink_ptr sink;
  try {
    if (destination == nullptr || *destination == '\0' || std::strcmp(destination, "stderr") == 0) {
      sink = std::make_shared<ConsoleSink>(stderr);
    } else if (std::strcmp(destination, "stdout") == 0) {
      sink = std::make_shared<ConsoleSink>(stdout);
    } else {
      sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(destination, false);
    }
  } catch (const std::exception&) {
    return KYCM_LOG_DESTINATION;
  }
  // Not registered in spdlog's global registry, so that another spdlog user
  // in the same process neither sees nor replaces it.
  auto logger = std::make_shared<spdlog::logger>("quillon", std::move(sink));
  logger->set_pattern("%Y-%m-%d %H:%M:%S.%f [%P:%t] %v");
  logger->set_level(spdlog::level::trace);  // the threshold is applied before spdlog
  logger->flush_on(spdlog::level::trace);   // every line reaches its destination at once
  logger->set_error_handler([](const std::string& /*what*/) { write_failed = true; });
  s.logger = std::move(logger);
  s.opened.store(true);
  if (!keep_threshold) s.threshold.store(level);
  return OK;
}

// A caller's text with line breaks spelled out, so that one message is one
// line and no field can start a line of its own.
void append_single_line(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
}

}  // namespace

uint32_t open() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const uint32_t code = open_locked(s, false);
  if (code == OK) s.threshold_set.store(false);
  return code;
}

void set_threshold(Level level) {
  // level_count itself is 'off': no message reaches it.
  if (level > level_count) return;
  State& s = state();
  // Under the log's lock, so that a first message opening the log at this
  // moment cannot overwrite it with the configured threshold afterwards.
  std::lock_guard<std::mutex> lock(s.mutex);
  s.threshold.store(level);
  s.threshold_set.store(true);
}

bool admits(uint32_t level) {
  const State& s = state();
  // Before the log is opened the configured threshold is not known yet,
  // unless one was set: the message decides once it has opened the log.
  if (!s.opened.load() && !s.threshold_set.load()) return true;
  return level >= s.threshold.load(std::memory_order_relaxed);
}

std::string vformat(const char* format, va_list args) {
  std::string text;
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
  }
  return text;
}

Level threshold() { return static_cast<Level>(state().threshold.load()); }

const char* channel_name(uint32_t channel) { return channel < channel_count ? kChannelNames[channel] : nullptr; }

const char* level_name(uint32_t level) { return level < level_count ? kLevelNames[level] : nullptr; }

uint32_t write(uint32_t channel, uint32_t level, const char* file, int32_t line, const char* function,
               std::string_view text) {
  if (channel >= channel_count || level >= level_count) return KYCM_INVALID_ARGUMENT;
  State& s = state();
  std::shared_ptr<spdlog::logger> logger;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.logger) {
      const uint32_t code = open_locked(s, s.threshold_set.load());
      if (code != OK) return code;
    }
    logger = s.logger;
  }
  if (level < s.threshold.load(std::memory_order_relaxed)) return OK;

  std::string message;
  message.reserve(text.size() + 64);
  message += '[';
  message += kChannelNames[channel];
  message += "] [";
  message += kLevelNames[level];
  message += "] ";
  append_single_line(message, file != nullptr ? file : "?");
  message += ':';
  message += std::to_string(line);
  message += ' ';
  append_single_line(message, function != nullptr ? function : "?");
  message += ": ";
  append_single_line(message, text);
  write_failed = false;
  try {
    logger->log(spdlog::source_loc{}, spdlog_level(level), spdlog::string_view_t(message.data(), message.size()));
  } catch (const std::exception&) {
    write_failed = true;
  }
  return write_failed ? KYCM_IO_ERROR : OK;
}

}  // namespace runtime_log
}  // namespace kycore
