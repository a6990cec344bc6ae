// The log shared by the host SDK's libraries: one threshold and one sink for
// the whole process. Channels and levels use the common runtime's numbering
// (channel 5 is the management library; levels trace 0 to fatal 6). Messages
// go to standard error, one line each.
#pragma once

#include <cstdint>
#include <string_view>

#include "kycore/export.h"

namespace kycore {

enum class LogLevel : uint32_t { trace = 0, debug, info, warn, error, alarm, fatal, off };

enum class LogChannel : uint32_t { app = 0, cm, ce, cl, me, ml, rt, nn, tm };

// Messages below the threshold are dropped; `off` drops everything.
KY_EXPORT void set_log_threshold(LogLevel level);
KY_EXPORT LogLevel log_threshold();

inline bool log_enabled(LogLevel level) { return level != LogLevel::off && level >= log_threshold(); }

// Writes one line when `level` passes the threshold. `file`, `function` may
// be null.
KY_EXPORT void log_message(LogChannel channel, LogLevel level, const char* file, int line, const char* function,
                           std::string_view text);

}  // namespace kycore
