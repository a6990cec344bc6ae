// Opening an engine library beside its front, once.
#include "kycore/lazy_library.h"

#include <dlfcn.h>

#include <string>

namespace kycore {

void* LazyLibrary::find(const char* name) {
  std::call_once(once_, [this] { load(); });
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void LazyLibrary::load() {
  // Beside the front, wherever it was installed (the build tree, a prefix,
  // the wheel's library folder): not wherever the loader's search finds one.
  std::string path = file_;
  Dl_info info{};
  if (dladdr(anchor_, &info) != 0 && info.dli_fname != nullptr) {
    const std::string front = info.dli_fname;
    const auto slash = front.rfind('/');
    if (slash != std::string::npos) path = front.substr(0, slash + 1) + file_;
  }
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    runtime_log::write(channel_, runtime_log::error, __FILE__, __LINE__, __func__,
                       "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason") +
                           "; every call of the library fails until the program restarts");
  }
}

}  // namespace kycore
