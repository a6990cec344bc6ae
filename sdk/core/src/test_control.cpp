// Arming state and the journal behind test control.
#include "kycore/test_control.h"

#include <map>
#include <mutex>
#include <new>
#include <stdexcept>

namespace kycore {

std::atomic<bool> g_control_active{false};

namespace {

struct Armed {
  Action action = Action::proceed;
  uint32_t code = 0;
  int remaining = 0;  // -1: until reset
  int skip = 0;       // calls that proceed before it acts
};

struct ControlState {
  std::mutex mutex;
  std::map<std::string, Armed, std::less<>> armed;
  bool recording = false;
  std::vector<Call> calls;

  void refresh_active() { g_control_active.store(recording || !armed.empty(), std::memory_order_relaxed); }
};

ControlState& state() {
  static ControlState s;
  return s;
}

void arm(const std::string& function, Action action, uint32_t code, int count, int after = 0) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (count == 0) {
    s.armed.erase(function);
  } else {
    s.armed[function] = Armed{action, code, count, after > 0 ? after : 0};
  }
  s.refresh_active();
}

}  // namespace

namespace {

Verdict consume(const char* function, std::initializer_list<Arg> args) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.recording) s.calls.push_back(Call{function, std::vector<Arg>(args)});
  auto it = s.armed.find(std::string_view(function));
  if (it == s.armed.end()) return {Action::proceed, 0};
  if (it->second.skip > 0) {
    --it->second.skip;
    return {Action::proceed, 0};
  }
  const Verdict verdict{it->second.action, it->second.code};
  if (it->second.remaining > 0 && --it->second.remaining == 0) {
    s.armed.erase(it);
    s.refresh_active();
  }
  return verdict;
}

}  // namespace

Verdict check_call(const char* function, std::initializer_list<Arg> args) {
  const Verdict verdict = consume(function, args);
  if (verdict.action == Action::raise) {
    if (verdict.code != 0) throw std::bad_alloc();
    throw std::runtime_error(std::string("armed exception in ") + function);
  }
  return verdict;
}

void arm_failure(const std::string& function, uint32_t code, int count, int after) {
  arm(function, Action::fail, code, count, after);
}

void arm_empty(const std::string& function, int count) { arm(function, Action::empty, 0, count); }

void arm_exception(const std::string& function, bool out_of_memory, int count) {
  arm(function, Action::raise, out_of_memory ? 1 : 0, count);
}

void set_journal(bool recording) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.recording = recording;
  s.refresh_active();
}

std::vector<Call> journal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls;
}

void clear_journal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
}

void reset_control() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.armed.clear();
  s.recording = false;
  s.calls.clear();
  s.refresh_active();
}

}  // namespace kycore
