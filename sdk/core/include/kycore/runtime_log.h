// The runtime's log, shared by every library of the host SDK: the common
// runtime writes its callers' messages here and the management library can
// set the threshold and write its own, so all of them land in one place.
//
// Configuration, read when the log is opened (explicitly by open(), or by
// the first message):
//   QUILLON_LOG        destination: "stderr" (default), "stdout", or a file
//                      path, appended to and created if missing;
//   QUILLON_LOG_LEVEL  threshold: trace, debug, info (default), warn, error,
//                      alarm, fatal, or their numbers 0 to 6.
// Each message is one line:
//   2026-12-06 20:41:07.123456 [pid:tid] [CM] [INFO] file:line function: text
// Line breaks inside the text, the file and the function are written as \n
// and \r so that a message never spans lines.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

#include "kycore/export.h"

namespace kycore {
namespace runtime_log {

// The channels (one per SDK component) and levels, with the numbers of the
// common runtime's kycmLogChannel and kycmLogLevel.
enum Channel : uint32_t { app = 0, cm, ce, cl, me, ml, rt, nn, tm, channel_count };
enum Level : uint32_t { trace = 0, debug, info, warn, error, alarm, fatal, level_count };

// (Re)opens the log with the configuration of the environment. 0, or
// KYCM_LOG_DESTINATION / KYCM_LOG_CONFIG; on failure the log stays as it was.
KY_EXPORT uint32_t open();

// Messages below the threshold are dropped; a threshold of level_count drops
// every message. open() resets it from the configuration; a threshold set
// before or while a first message opens the log holds.
KY_EXPORT void set_threshold(Level level);
KY_EXPORT Level threshold();

// False when a message of `level` would be dropped, so that callers can skip
// building it; true while that is not known yet (the log is not open).
KY_EXPORT bool admits(uint32_t level);

// printf-style formatting of a message's text.
KY_EXPORT std::string vformat(const char* format, va_list args);

// Writes one message. 0, KYCM_INVALID_ARGUMENT for an unknown channel or
// level, the error of opening the log when this is its first message, or
// KYCM_IO_ERROR when the line could not be written and flushed in full.
// `text` is written as it is (no formatting).
KY_EXPORT uint32_t write(uint32_t channel, uint32_t level, const char* file, int32_t line, const char* function,
                         std::string_view text);

KY_EXPORT const char* channel_name(uint32_t channel);  // "APP", "CM", ...; null when unknown
KY_EXPORT const char* level_name(uint32_t level);      // "TRACE", ...; null when unknown

}  // namespace runtime_log
}  // namespace kycore
