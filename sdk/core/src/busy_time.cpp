// Busy-time accounting per device and engine: finished work is kept only as
// long as it can overlap the sampling interval, running work by its start.
#include "kycore/busy_time.h"

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "kycore/shared_state.h"

namespace kycore {
namespace {

using Key = std::tuple<int32_t, Engine>;

struct Span {
  uint32_t core;
  BusyClock::time_point start;
  BusyClock::time_point end;
};

struct Running {
  Key key;
  uint32_t core;
  BusyClock::time_point start;
  std::shared_ptr<SharedState> shared;  // the card's state, when the work is charged there too
  uint32_t entry;                       // its running entry there; 0 when none was free
};

int64_t nanoseconds(BusyClock::time_point time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// Ends work in the card's state: from its running entry, or as a span.
void end_shared(const Running& run, BusyClock::time_point end) {
  if (!run.shared) return;
  if (run.entry != 0) {
    run.shared->end_busy(run.entry, nanoseconds(end));
  } else {
    run.shared->add_busy(std::get<0>(run.key), std::get<1>(run.key), run.core, nanoseconds(run.start),
                         nanoseconds(end));
  }
}

int32_t percent_of(int64_t busy) {
  return static_cast<int32_t>(std::min<int64_t>(100, busy * 100 / std::chrono::nanoseconds(kBusyInterval).count()));
}

struct Ledger {
  std::mutex lock;
  std::map<Key, std::deque<Span>> finished;  // in order of their end
  std::unordered_map<uint64_t, Running> running;
  uint64_t next_token = 1;

  void forget_old(std::deque<Span>& spans, BusyClock::time_point now) {
    while (!spans.empty() && spans.front().end + kBusyInterval <= now) spans.pop_front();
  }
  void finish(const Key& key, uint32_t core, BusyClock::time_point start, BusyClock::time_point end) {
    auto& spans = finished[key];
    forget_old(spans, end);
    spans.push_back({core, start, end});
  }
};

Ledger& ledger() {
  static auto* l = new Ledger();  // never destroyed: worker threads may outlive static destruction
  return *l;
}

}  // namespace

uint64_t begin_busy(int32_t device, Engine engine, uint32_t core) {
  Ledger& l = ledger();
  const auto now = BusyClock::now();
  auto shared = device >= 0 ? shared_state() : nullptr;
  const uint32_t entry = shared ? shared->begin_busy(device, engine, core, nanoseconds(now)) : 0;
  std::lock_guard<std::mutex> hold(l.lock);
  const uint64_t token = l.next_token++;
  l.running.emplace(token, Running{Key{device, engine}, core, now, std::move(shared), entry});
  return token;
}

void end_busy(uint64_t token) {
  Ledger& l = ledger();
  const auto now = BusyClock::now();
  Running run{};
  {
    std::lock_guard<std::mutex> hold(l.lock);
    const auto it = l.running.find(token);
    if (it == l.running.end()) return;  // forgotten by clear_busy meanwhile
    l.finish(it->second.key, it->second.core, it->second.start, now);
    run = std::move(it->second);
    l.running.erase(it);
  }
  end_shared(run, now);
}

void add_busy(int32_t device, Engine engine, uint32_t core, BusyClock::time_point start) {
  if (device < 0) return;
  Ledger& l = ledger();
  const auto now = BusyClock::now();
  {
    std::lock_guard<std::mutex> hold(l.lock);
    l.finish(Key{device, engine}, core, start, now);
  }
  if (auto shared = shared_state()) shared->add_busy(device, engine, core, nanoseconds(start), nanoseconds(now));
}

void busy_percents(int32_t device, EngineLoad* loads, std::size_t count) {
  const auto now = BusyClock::now();
  const auto from = now - kBusyInterval;
  // Nanoseconds per core of each engine, one run of counts after another;
  // on the stack for a die's readings, which are made often.
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += loads[i].cores;
  std::array<int64_t, 32> small{};
  std::array<SharedState::BusyQuery, 8> small_queries{};
  std::vector<int64_t> large(total > small.size() ? total : 0);
  std::vector<SharedState::BusyQuery> large_queries(count > small_queries.size() ? count : 0);
  int64_t* busy = large.empty() ? small.data() : large.data();
  SharedState::BusyQuery* queries = large_queries.empty() ? small_queries.data() : large_queries.data();
  for (std::size_t i = 0, first = 0; i < count; first += loads[i].cores, ++i) {
    queries[i] = {loads[i].engine, loads[i].cores, busy + first};
  }
  if (auto shared = shared_state()) {
    // The card's engines as every process uses them, read at once.
    shared->busy_times(device, queries, count, nanoseconds(from), nanoseconds(now));
  } else {
    Ledger& l = ledger();
    std::lock_guard<std::mutex> hold(l.lock);
    for (std::size_t i = 0; i < count; ++i) {
      const uint32_t cores = queries[i].cores;
      int64_t* counts = queries[i].busy;
      const auto charge = [&](uint32_t on, BusyClock::time_point start, BusyClock::time_point end) {
        const auto begin = std::max(start, from);
        if (end > begin && cores > 0) counts[on % cores] += std::chrono::nanoseconds(end - begin).count();
      };
      const Key key{device, queries[i].engine};
      const auto found = l.finished.find(key);
      if (found != l.finished.end()) {
        l.forget_old(found->second, now);
        for (const Span& span : found->second) charge(span.core, span.start, span.end);
      }
      for (const auto& [token, run] : l.running) {
        if (run.key == key) charge(run.core, run.start, now);
      }
    }
  }
  // Several channels sharing a core can add up to more than the interval.
  for (std::size_t i = 0; i < count; ++i) {
    for (uint32_t c = 0; c < loads[i].cores; ++c) loads[i].percents[c] = percent_of(queries[i].busy[c]);
  }
}

int32_t busy_percent(int32_t device, Engine engine, int32_t core, uint32_t cores) {
  if (cores == 0 || (core >= 0 && static_cast<uint32_t>(core) >= cores)) return 0;
  std::vector<int32_t> percents(cores);
  EngineLoad load{engine, cores, percents.data()};
  busy_percents(device, &load, 1);
  if (core >= 0) return percents[static_cast<uint32_t>(core)];
  int64_t sum = 0;
  for (const int32_t percent : percents) sum += percent;
  return static_cast<int32_t>(sum / cores);
}

void clear_busy() {
  Ledger& l = ledger();
  std::unordered_map<uint64_t, Running> running;
  {
    std::lock_guard<std::mutex> hold(l.lock);
    l.finished.clear();
    running.swap(l.running);
  }
  const auto now = BusyClock::now();
  for (const auto& entry : running) end_shared(entry.second, now);
}

}  // namespace kycore
