// Work done without the interpreter lock, for every binding that waits on a
// library, a file or the network while other Python threads go on.
//
// Taking the lock back does not always return. Once the interpreter is
// finishing, a daemon thread that tries is ended with pthread_exit, which
// unwinds its stack with abi::__forced_unwind:
//   - that unwinding must not meet a noexcept frame, or the runtime calls
//     std::terminate and the whole process aborts at exit. Destructors are
//     noexcept and pybind11's gil_scoped_release takes the lock back in its
//     destructor, so it is not used: here the lock is taken back in ordinary
//     code, and a forced unwind passes on;
//   - the thread no longer holds the lock while it unwinds, and the
//     interpreter is being torn down by the main thread meanwhile: a Python
//     object the binding holds must not be released then. Such objects are
//     handed to `unlocked` as `kept`, which gives up their references
//     without touching them when the thread is ended, as the interpreter
//     itself leaves the ended thread's objects alone.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace quillon {

// Calls `work` without the interpreter lock and returns what it returns; an
// exception it throws reaches the caller with the lock held again. `kept`
// (pybind11 objects) stay referenced across the call.
template <class Work, class... Kept>
auto unlocked(Work&& work, Kept&... kept) -> std::invoke_result_t<Work&&> {
  using Result = std::invoke_result_t<Work&&>;
  static_assert(!std::is_reference_v<Result>, "the result is kept while the lock is taken back");
  auto relock = [&](PyThreadState* state) {
    try {
      PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
      (kept.release(), ...);
      throw;
    }
  };
  PyThreadState* const state = PyEval_SaveThread();
  std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result{};
  try {
    if constexpr (std::is_void_v<Result>) {
      std::forward<Work>(work)();
    } else {
      result.emplace(std::forward<Work>(work)());
    }
  } catch (abi::__forced_unwind&) {
    // Ended inside `work`: the thread never holds the lock again.
    (kept.release(), ...);
    throw;
  } catch (...) {
    relock(state);
    throw;
  }
  relock(state);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace quillon
