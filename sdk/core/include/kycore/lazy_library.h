// A library's body loaded on first use. libkyme and libkycl are small fronts
// that export the C interface; their work (with libavcodec, OpenCV's dnn and
// what those pull in) lives in an engine library beside them, opened by the
// first call, so that a program that never decodes or runs a model does not
// pay for loading them.
#pragma once

#include <cstdint>
#include <mutex>

#include "kycore/export.h"
#include "kycore/runtime_log.h"

namespace kycore {

class KY_EXPORT LazyLibrary {
 public:
  // `file`: the engine's file name, looked for in the folder of the library
  // holding `anchor` (any function of the front). `channel`: where a failure
  // to load is logged.
  LazyLibrary(const char* file, const void* anchor, runtime_log::Channel channel)
      : file_(file), anchor_(anchor), channel_(channel) {}

  // The engine's function `name`, or null when the engine cannot be loaded
  // (said once in the runtime's log, with the loader's reason) or lacks it.
  void* find(const char* name);

 private:
  void load();

  const char* file_;
  const void* anchor_;
  runtime_log::Channel channel_;
  std::once_flag once_;
  void* handle_ = nullptr;
};

}  // namespace kycore

// Defines the exported C function `name` of the front: it calls the engine's
// function of the same name, or returns `failure` when the engine cannot be
// loaded. The engine's own functions keep exceptions inside; dlopen and
// dlsym throw none.
#define KY_FORWARD(library, failure, ret, name, params, args)                       \
  extern "C" KY_EXPORT ret name params {                                            \
    using Function = ret(*) params;                                                 \
    static const auto function = reinterpret_cast<Function>((library).find(#name)); \
    return function != nullptr ? function args : static_cast<ret>(failure);         \
  }
