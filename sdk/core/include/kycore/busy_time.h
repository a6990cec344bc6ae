// What each die's engines are doing. Every unit of engine work (a decoder or
// encoder channel decoding or encoding one piece of input, a stream running
// one request, a preprocess op) is timed from its start to its end and
// charged to its device, engine and core. The management library reads, for
// each core, the share of the last sampling interval during which work was
// running there; work still running counts up to the moment of the reading.
#pragma once

#include <chrono>
#include <cstdint>

#include "kycore/export.h"

namespace kycore {

enum class Engine : uint8_t { ai = 0, vdsp = 1, encoder = 2, decoder = 3 };

using BusyClock = std::chrono::steady_clock;

// The sampling interval over which utilisation is measured.
constexpr std::chrono::milliseconds kBusyInterval{1000};

// Marks work as started or finished; the token of begin_busy ends it.
KY_EXPORT uint64_t begin_busy(int32_t device, Engine engine, uint32_t core);
KY_EXPORT void end_busy(uint64_t token);
// Charges work that ran from `start` to now (when its device is known only
// at the end).
KY_EXPORT void add_busy(int32_t device, Engine engine, uint32_t core, BusyClock::time_point start);

// Percent (0 to 100) of the last interval during which core `core` of the
// engine ran work, where work on core c counts for core c % cores. With
// `core` < 0: the average over the `cores` cores.
KY_EXPORT int32_t busy_percent(int32_t device, Engine engine, int32_t core, uint32_t cores);
// The same for every core of several engines at once: percents[c] for
// c < cores of each.
struct EngineLoad {
  Engine engine;
  uint32_t cores;
  int32_t* percents;
};
KY_EXPORT void busy_percents(int32_t device, EngineLoad* loads, std::size_t count);

// Forgets all recorded work (a released runtime, tests).
KY_EXPORT void clear_busy();

// Times one unit of work for as long as it lives, except while paused (the
// work waits for something that is not the engine's doing).
class BusyScope {
 public:
  BusyScope(int32_t device, Engine engine, uint32_t core = 0)
      : device_(device), engine_(engine), core_(core), token_(begin_busy(device, engine, core)) {}
  ~BusyScope() { end_busy(token_); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

  void pause() {
    end_busy(token_);
    token_ = 0;
  }
  void resume() {
    if (token_ == 0) token_ = begin_busy(device_, engine_, core_);
  }

 private:
  int32_t device_;
  Engine engine_;
  uint32_t core_;
  uint64_t token_;
};

}  // namespace kycore
