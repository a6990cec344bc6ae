// Customized ops: plug-in libraries loaded with the dynamic loader, the info
// that lists their ops, and the ops created from them.
//
// Ownership keeps the plug-in's code mapped for as long as anything may call
// it: the loaded library is shared by its info and by every op created from
// it, and is closed when the last of them lets go. An info is released by
// two calls, in either order: unloading drops its hold on the library,
// destroying it drops the listing (and the library, if still held); its
// handle is unregistered once both have been made.
#include "customized_ops.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kyce.h"
#include "kyce_plugin.h"
#include "kycore/c_boundary.h"
#include "kycore/device_memory.h"
#include "kycore/handle_registry.h"
#include "kycore/host_access.h"
#include "kycore/runtime_log.h"
#include "kycore/test_control.h"

namespace kyce {
namespace {

using kycore::HandleKind;
using kycore::HandleRegistry;

// Configuration blocks larger than this are refused rather than copied.
constexpr uint32_t kMaxConfigBytes = 1U << 20;

void log_error(const char* function, const std::string& text) {
  kycore::runtime_log::write(kycore::runtime_log::ce, kycore::runtime_log::error, __FILE__, __LINE__, function, text);
}

struct PluginLibrary {
  std::string path;
  void* loader_handle = nullptr;
  const kycePluginTable* table = nullptr;
  std::vector<std::string> names;

  PluginLibrary() = default;
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  ~PluginLibrary() {
    if (loader_handle != nullptr) dlclose(loader_handle);
  }
};

// The table must name its ops and offer at least create, execute and destroy.
bool table_is_valid(const kycePluginTable* table, std::vector<std::string>* names) {
  if (table == nullptr || table->abi_version != KYCE_PLUGIN_ABI_VERSION || table->op_count == 0 ||
      table->op_names == nullptr || table->create == nullptr || table->execute == nullptr ||
      table->destroy == nullptr) {
    return false;
  }
  for (uint32_t i = 0; i < table->op_count; ++i) {
    const char* name = table->op_names[i];
    if (name == nullptr) return false;
    const std::size_t length = strnlen(name, OPNAME_MAX_LEN);
    if (length == 0 || length >= OPNAME_MAX_LEN) return false;
    for (const std::string& earlier : *names) {
      if (earlier == name) return false;
    }
    names->emplace_back(name, length);
  }
  return true;
}

// A path with a slash names the file itself, which must then be a regular
// file: the loader opens without O_NONBLOCK, so a named pipe without a
// writer would stop it for ever, and a device would be read without end.
// stat() neither opens nor blocks; a path it cannot follow is left to the
// loader, which fails on it with its own reason. A name without a slash is
// looked up as the loader looks up libraries.
bool names_other_than_a_regular_file(const char* path) {
  struct stat info {};
  return std::strchr(path, '/') != nullptr && ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
}

uint32_t open_library(const char* path, std::shared_ptr<PluginLibrary>* loaded) {
  auto library = std::make_shared<PluginLibrary>();
  library->path = path;
  if (names_other_than_a_regular_file(path)) {
    log_error("kyceLoadCustomizedOps", "cannot load " + library->path + ": not a regular file");
    return kyceER_PLUGIN_LOAD;
  }
  library->loader_handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library->loader_handle == nullptr) {
    const char* reason = dlerror();
    log_error("kyceLoadCustomizedOps", "cannot load " + library->path + ": " + (reason ? reason : "unknown error"));
    return kyceER_PLUGIN_LOAD;
  }
  auto entry = reinterpret_cast<kycePluginEntryFunction>(dlsym(library->loader_handle, KYCE_PLUGIN_ENTRY));
  const kycePluginTable* table = entry != nullptr ? entry() : nullptr;
  if (!table_is_valid(table, &library->names)) {
    log_error("kyceLoadCustomizedOps", library->path + " is not a plug-in of customized ops (no " KYCE_PLUGIN_ENTRY
                                                       ", another interface version, or an incomplete table)");
    return kyceER_PLUGIN_INVALID;
  }
  library->table = table;
  *loaded = std::move(library);
  return kyceER_SUCCESS;
}

struct CustomizedOpInfo {
  std::mutex mutex;
  std::shared_ptr<PluginLibrary> library;  // null once unloaded or destroyed
  bool unloaded = false;
  bool destroyed = false;
};

struct CustomizedOp {
  std::mutex mutex;
  std::shared_ptr<PluginLibrary> library;
  void* instance = nullptr;

  CustomizedOp() = default;
  CustomizedOp(const CustomizedOp&) = delete;
  CustomizedOp& operator=(const CustomizedOp&) = delete;
  ~CustomizedOp() {
    if (instance != nullptr) library->table->destroy(instance);
  }
};

std::shared_ptr<CustomizedOpInfo> find_info(const void* info) {
  return HandleRegistry::instance().find<CustomizedOpInfo>(info, HandleKind::custom_op_library);
}

std::shared_ptr<CustomizedOp> find_op(const void* op) {
  return HandleRegistry::instance().find<CustomizedOp>(op, HandleKind::op);
}

// The library of a live info that is neither unloaded nor destroyed.
uint32_t library_of(const void* info, std::shared_ptr<PluginLibrary>* library) {
  auto found = find_info(info);
  if (!found) return info == nullptr ? kyceER_NULL_ARGUMENT : kyceER_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(found->mutex);
  if (!found->library) return kyceER_PLUGIN_RELEASED;
  *library = found->library;
  return kyceER_SUCCESS;
}

// One half of an info's release; the handle goes when both halves are done.
uint32_t release_info(void* info, bool CustomizedOpInfo::*half) {
  auto found = find_info(info);
  if (!found) return info == nullptr ? kyceER_NULL_ARGUMENT : kyceER_INVALID_HANDLE;
  std::shared_ptr<PluginLibrary> dropped;  // closed outside the lock
  {
    std::lock_guard<std::mutex> lock(found->mutex);
    if ((*found).*half) return kyceER_PLUGIN_RELEASED;
    (*found).*half = true;
    dropped = std::move(found->library);
    if (!(found->unloaded && found->destroyed)) return kyceER_SUCCESS;
  }
  HandleRegistry::instance().remove<CustomizedOpInfo>(info, HandleKind::custom_op_library);
  return kyceER_SUCCESS;
}

// A plug-in's answer as the library's code.
uint32_t plugin_result(int32_t code, const char* function, const std::string& path) {
  if (code == 0) return kyceER_SUCCESS;
  log_error(function, path + " reported failure " + std::to_string(code));
  return kyceER_PLUGIN_FAILED;
}

template <class Call>
uint32_t call_plugin(const char* function, const std::string& path, Call&& call) noexcept {
  try {
    return plugin_result(call(), function, path);
  } catch (...) {
    log_error(function, path + " let an exception escape");
    return kyceER_PLUGIN_FAILED;
  }
}

// A view of device memory from `address` to the end of its block.
uint32_t device_view(void* address, kycore::DeviceSpan* span) {
  if (address == nullptr) return kyceER_NULL_ARGUMENT;
  if (!kycore::DeviceMemory::is_device_address(address)) return kyceER_INVALID_MEMORY;
  *span = kycore::DeviceMemory::instance().resolve(address, 1);
  return span->data == nullptr ? kyceER_INVALID_MEMORY : kyceER_SUCCESS;
}

}  // namespace

bool is_customized_op(const void* op) { return static_cast<bool>(find_op(op)); }

uint32_t destroy_customized_op(const void* op) {
  // The instance is released when the last reference (a running call's) goes.
  return HandleRegistry::instance().remove<CustomizedOp>(op, HandleKind::op) ? kyceER_SUCCESS : kyceER_INVALID_HANDLE;
}

uint32_t execute_customized_op(const void* op, void* input, void* output) {
  auto found = find_op(op);
  if (!found) return op == nullptr ? kyceER_NULL_ARGUMENT : kyceER_INVALID_HANDLE;
  kycore::DeviceSpan in;
  kycore::DeviceSpan out;
  uint32_t code = device_view(input, &in);
  if (code == kyceER_SUCCESS) code = device_view(output, &out);
  if (code != kyceER_SUCCESS) return code;
  const uint8_t* source = in.data;
  std::vector<uint8_t> private_input;
  if (in.data < out.data + out.available && out.data < in.data + in.available) {
    try {
      private_input.assign(in.data, in.data + in.available);
    } catch (const std::bad_alloc&) {
      return kyceER_OPERATION_FAILED;
    }
    source = private_input.data();
  }
  std::lock_guard<std::mutex> lock(found->mutex);
  const kycePluginTable* table = found->library->table;
  return call_plugin("kyceExecuteOp", found->library->path,
                     [&] { return table->execute(found->instance, source, in.available, out.data, out.available); });
}

}  // namespace kyce

using kyce::CustomizedOp;
using kyce::CustomizedOpInfo;
using kyce::PluginLibrary;

extern "C" KY_API uint32_t kyceLoadCustomizedOps(const char* path, void** info) try {
  KY_GATE("kyceLoadCustomizedOps", kycore::clear_output(info), path, static_cast<const void*>(info));
  if (path == nullptr || info == nullptr) return kyceER_NULL_ARGUMENT;
  *info = nullptr;
  // An empty name would make the loader hand back the program itself.
  if (*path == '\0') return kyceER_PLUGIN_LOAD;
  try {
    std::shared_ptr<PluginLibrary> library;
    const uint32_t code = kyce::open_library(path, &library);
    if (code != kyceER_SUCCESS) return code;
    auto created = std::make_shared<CustomizedOpInfo>();
    created->library = std::move(library);
    *info = kycore::HandleRegistry::instance().add(kycore::HandleKind::custom_op_library, std::move(created));
    return kyceER_SUCCESS;
  } catch (const std::exception&) {
    return kyceER_OPERATION_FAILED;
  }
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceUnloadCustomizedOps(void* info) try {
  KY_GATE("kyceUnloadCustomizedOps", {}, static_cast<const void*>(info));
  return kyce::release_info(info, &CustomizedOpInfo::unloaded);
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceDestroyCustomizedOpInfo(void* info) try {
  KY_GATE("kyceDestroyCustomizedOpInfo", {}, static_cast<const void*>(info));
  return kyce::release_info(info, &CustomizedOpInfo::destroyed);
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceGetCustomizedOpCount(void* info, int32_t* count) try {
  KY_GATE("kyceGetCustomizedOpCount", kycore::clear_output(count), static_cast<const void*>(info),
          static_cast<const void*>(count));
  if (count == nullptr) return kyceER_NULL_ARGUMENT;
  std::shared_ptr<PluginLibrary> library;
  const uint32_t code = kyce::library_of(info, &library);
  if (code == kyceER_SUCCESS) *count = static_cast<int32_t>(library->names.size());
  return code;
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceGetCustomizedOpName(void* info, int32_t index, char* name, uint32_t size) try {
  KY_GATE("kyceGetCustomizedOpName", (name != nullptr && size > 0 ? (void)(*name = '\0') : (void)0),
          static_cast<const void*>(info), index, static_cast<const void*>(name), size);
  if (name == nullptr) return kyceER_NULL_ARGUMENT;
  std::shared_ptr<PluginLibrary> library;
  const uint32_t code = kyce::library_of(info, &library);
  if (code != kyceER_SUCCESS) return code;
  if (index < 0 || static_cast<std::size_t>(index) >= library->names.size()) return kyceER_INVALID_PARAMETER;
  const std::string& text = library->names[static_cast<std::size_t>(index)];
  if (text.size() >= size) return kyceER_INVALID_SIZE;
  std::memcpy(name, text.c_str(), text.size() + 1);
  return kyceER_SUCCESS;
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceCreateCustomizedOp(void* info, const char* name, void** op) try {
  KY_GATE("kyceCreateCustomizedOp", kycore::clear_output(op), static_cast<const void*>(info), name,
          static_cast<const void*>(op));
  if (name == nullptr || op == nullptr) return kyceER_NULL_ARGUMENT;
  *op = nullptr;
  std::shared_ptr<PluginLibrary> library;
  uint32_t code = kyce::library_of(info, &library);
  if (code != kyceER_SUCCESS) return code;
  bool offered = false;
  for (const std::string& known : library->names) offered = offered || known == name;
  if (!offered) return kyceER_UNKNOWN_OP_NAME;
  try {
    auto created = std::make_shared<CustomizedOp>();
    created->library = library;
    code = kyce::call_plugin("kyceCreateCustomizedOp", library->path,
                             [&] { return library->table->create(name, &created->instance); });
    if (code != kyceER_SUCCESS) {
      created->instance = nullptr;  // a failed create leaves nothing to destroy
      return code;
    }
    if (created->instance == nullptr) return kyceER_PLUGIN_FAILED;
    *op = kycore::HandleRegistry::instance().add(kycore::HandleKind::op, std::move(created));
    return kyceER_SUCCESS;
  } catch (const std::exception&) {
    return kyceER_OPERATION_FAILED;
  }
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceSetCustomizedOpConfig(void* op, const void* config, uint32_t size) try {
  KY_GATE("kyceSetCustomizedOpConfig", {}, static_cast<const void*>(op), config, size);
  auto found = kyce::find_op(op);
  if (!found) return op == nullptr ? kyceER_NULL_ARGUMENT : kyceER_INVALID_HANDLE;
  if (config == nullptr) return kyceER_NULL_ARGUMENT;
  if (size == 0 || size > kyce::kMaxConfigBytes) return kyceER_INVALID_SIZE;
  if (!kycore::host_range_accessible(config, size, kycore::HostAccess::read)) return kyceER_INVALID_MEMORY;
  const kycePluginTable* table = found->library->table;
  if (table->configure == nullptr) return kyceER_PLUGIN_UNSUPPORTED;
  try {
    // The plug-in sees a copy: it can neither keep nor overrun the caller's memory.
    const auto* bytes = static_cast<const uint8_t*>(config);
    const std::vector<uint8_t> block(bytes, bytes + size);
    std::lock_guard<std::mutex> lock(found->mutex);
    return kyce::call_plugin("kyceSetCustomizedOpConfig", found->library->path,
                             [&] { return table->configure(found->instance, block.data(), size); });
  } catch (const std::exception&) {
    return kyceER_OPERATION_FAILED;
  }
}
KYCE_CATCH

extern "C" KY_API uint32_t kyceSetCustomizedOpCfgCallback(void* op, void* const* callbacks) try {
  KY_GATE("kyceSetCustomizedOpCfgCallback", {}, static_cast<const void*>(op), static_cast<const void*>(callbacks));
  auto found = kyce::find_op(op);
  if (!found) return op == nullptr ? kyceER_NULL_ARGUMENT : kyceER_INVALID_HANDLE;
  if (callbacks == nullptr) return kyceER_NULL_ARGUMENT;
  // The table ends at its first null slot; each slot is checked before it is read.
  std::vector<kycePluginCallback> slots;
  for (std::size_t i = 0;; ++i) {
    if (i > KYCE_MAX_CFG_CALLBACKS) return kyceER_INVALID_PARAMETER;
    if (!kycore::host_range_accessible(callbacks + i, sizeof(void*), kycore::HostAccess::read)) {
      return kyceER_INVALID_MEMORY;
    }
    if (callbacks[i] == nullptr) break;
    slots.push_back(reinterpret_cast<kycePluginCallback>(callbacks[i]));
  }
  const kycePluginTable* table = found->library->table;
  if (table->configure_callbacks == nullptr) return kyceER_PLUGIN_UNSUPPORTED;
  std::lock_guard<std::mutex> lock(found->mutex);
  return kyce::call_plugin("kyceSetCustomizedOpCfgCallback", found->library->path, [&] {
    return table->configure_callbacks(found->instance, slots.data(), static_cast<uint32_t>(slots.size()));
  });
}
KYCE_CATCH
