// Test control: lets tests make a named library call fail, succeed with
// empty outputs, and record what every call received. Disarmed, it costs
// each call one relaxed atomic load.
//
// Every exported library function opens with KY_GATE (or a library's own
// wrapper of it), naming itself and listing its arguments.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "kycore/export.h"

namespace kycore {

// One argument as the journal keeps it: a text (or null), an integer, or a
// pointer recorded only as present or null.
struct Arg {
  enum class Kind : uint8_t { text, signed_integer, unsigned_integer, real, pointer };
  Kind kind;
  bool is_null = false;
  std::string text;
  uint64_t bits = 0;
  double real = 0.0;

  Arg(const char* s) : kind(Kind::text), is_null(s == nullptr), text(s ? s : "") {}
  // A writable char buffer is an output: recorded as a pointer, never read.
  Arg(char* s) : Arg(static_cast<const void*>(s)) {}
  Arg(const void* p) : kind(Kind::pointer), is_null(p == nullptr) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
  Arg(T v) {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    if constexpr (std::is_enum_v<T>) {
      using U = std::underlying_type_t<T>;
      *this = Arg(static_cast<U>(v));
    } else if constexpr (std::is_signed_v<T>) {
      kind = Kind::signed_integer;
      bits = static_cast<uint64_t>(static_cast<int64_t>(v));
    } else {
      kind = Kind::unsigned_integer;
      bits = static_cast<uint64_t>(v);
    }
  }
  Arg(double v) : kind(Kind::real), real(v) {}
};

struct Call {
  std::string function;
  std::vector<Arg> args;
};

enum class Action : uint8_t { proceed, fail, empty, raise };

struct Verdict {
  Action action;
  uint32_t code;
};

// True while anything is armed or the journal is recording.
KY_EXPORT extern std::atomic<bool> g_control_active;

inline bool control_active() { return g_control_active.load(std::memory_order_relaxed); }

// The slow path: journals the call and consumes an armed failure, empty
// result or exception for this function, if any. An armed exception is
// thrown from here, as if the function's own work had thrown it.
KY_EXPORT Verdict check_call(const char* function, std::initializer_list<Arg> args);

// Arming and the journal, for the test-only module. A count of -1 arms
// until reset; a failure armed `after` calls lets those proceed first.
KY_EXPORT void arm_failure(const std::string& function, uint32_t code, int count, int after = 0);
KY_EXPORT void arm_empty(const std::string& function, int count);
// The next `count` calls throw std::bad_alloc, or another exception when
// `out_of_memory` is false.
KY_EXPORT void arm_exception(const std::string& function, bool out_of_memory, int count);
KY_EXPORT void set_journal(bool recording);
KY_EXPORT std::vector<Call> journal();
KY_EXPORT void clear_journal();
KY_EXPORT void reset_control();  // disarm everything, stop and clear the journal

}  // namespace kycore

namespace kycore {

// The usual `on_empty` of KY_GATE: an output the caller passed reads as
// zero, null or an all-zero record.
template <class T>
void clear_output(T* output) {
  if (output != nullptr) *output = T{};
}

}  // namespace kycore

// Opens a library function. `ret` converts a code into the function's return
// type; `on_empty` clears its outputs when the call is armed to succeed
// empty. The argument list is evaluated only when test control is active.
#define KY_GATE_AS(ret, name, on_empty, ...)                                           \
  do {                                                                                 \
    if (KY_UNLIKELY(::kycore::control_active())) {                                     \
      const ::kycore::Verdict ky_verdict_ = ::kycore::check_call(name, {__VA_ARGS__}); \
      if (ky_verdict_.action == ::kycore::Action::fail) return ret(ky_verdict_.code);  \
      if (ky_verdict_.action == ::kycore::Action::empty) {                             \
        on_empty;                                                                      \
        return ret(0);                                                                 \
      }                                                                                \
    }                                                                                  \
  } while (0)

#define KY_CODE_AS_UINT(code) static_cast<uint32_t>(code)

// The common form for libraries whose functions return unsigned codes.
#define KY_GATE(name, on_empty, ...) KY_GATE_AS(KY_CODE_AS_UINT, name, on_empty, __VA_ARGS__)
