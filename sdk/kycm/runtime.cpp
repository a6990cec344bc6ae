// Initialisation, device selection and reset, version and error texts.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kycm.h"
#include "kycore/c_boundary.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/life_cycle.h"
#include "kycore/platform.h"
#include "kycore/shared_state.h"
#include "kycore/test_control.h"
#include "kycore/version.h"
#include "runtime_state.h"

namespace kycm {

RuntimeState& runtime() {
  static RuntimeState state;
  return state;
}

uint32_t device_count() { return static_cast<uint32_t>(kycore::current_platform()->device_count()); }

bool valid_device(uint32_t device) { return device < device_count(); }

void publish_contexts(int32_t device) {
  auto shared = kycore::shared_state();
  if (!shared) return;
  // Counted and published under one lock, so a stale count never wins.
  static std::mutex publishing;
  std::lock_guard<std::mutex> lock(publishing);
  const auto& registry = kycore::HandleRegistry::instance();
  const uint32_t first = device == kycore::kNoDevice ? 0 : static_cast<uint32_t>(device);
  const uint32_t last = device == kycore::kNoDevice ? device_count() : first + 1;
  for (uint32_t d = first; d < last; ++d) {
    const auto id = static_cast<int32_t>(d);
    shared->set_contexts(id, static_cast<uint32_t>(registry.count(kycore::HandleKind::context, id)));
  }
}

}  // namespace kycm

using kycm::runtime;
using namespace kycore;

namespace {

constexpr const char* kVersionText = KY_SDK_VERSION_TEXT;

void release_runtime_objects(int32_t device) {
  auto& registry = HandleRegistry::instance();
  registry.remove_device(device);
  DeviceMemory::instance().release_device(device);
  kycm::publish_contexts(device);
}

}  // namespace

extern "C" {

KY_EXPORT kycmRet_t kycmInitialize(const char* config) try {
  KY_GATE("kycmInitialize", {}, config);
  // Of concurrent initializations one installs its platform, the others find
  // the runtime initialised.
  auto lock = changing_life_cycle();
  if (runtime().initialized.load()) return KYCM_ALREADY_INITIALIZED;
  PlatformResult result = resolve_platform(config);
  if (result.code != 0) {
    std::fprintf(stderr, "kycm: platform configuration refused: %s\n", result.message.c_str());
    return result.code;
  }
  install_platform(std::move(result.platform));
  // The card's state is opened now, so a refused one is reported here.
  if (const uint32_t shared = shared_state_status(nullptr); shared != OK) return shared;
  runtime().device.store(0);
  runtime().initialized.store(true);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmUninitialize(void) try {
  KY_GATE("kycmUninitialize", {});
  auto lock = changing_life_cycle();
  if (!runtime().initialized.exchange(false)) return KYCM_NOT_INITIALIZED;
  release_runtime_objects(kNoDevice);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetDevice(uint32_t device) try {
  KY_GATE("kycmSetDevice", {}, device);
  if (!runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (!kycm::valid_device(device)) return KYCM_INVALID_DEVICE;
  runtime().device.store(device);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmResetDevice(uint32_t device) try {
  KY_GATE("kycmResetDevice", {}, device);
  auto lock = changing_life_cycle();
  if (!runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (!kycm::valid_device(device)) return KYCM_INVALID_DEVICE;
  release_runtime_objects(static_cast<int32_t>(device));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDevice(uint32_t* device) try {
  KY_GATE("kycmGetDevice", {}, device);
  if (device == nullptr) return KYCM_INVALID_ARGUMENT;
  if (!runtime().initialized.load(std::memory_order_relaxed)) return KYCM_NOT_INITIALIZED;
  *device = runtime().device.load(std::memory_order_relaxed);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetVersion(const char** version, int32_t* major, int32_t* minor, int32_t* patch,
                                   int32_t* build) try {
  KY_GATE("kycmGetVersion", ::kycore::clear_output(version), version, major, minor, patch, build);
  if (version == nullptr) return KYCM_INVALID_ARGUMENT;
  *version = kVersionText;
  kycore::store_version_numbers(major, minor, patch, build);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetErrDesc(uint32_t code, char* buffer, uint32_t length) try {
  KY_GATE("kycmGetErrDesc", {}, code, buffer, length);
  if (buffer == nullptr || length == 0) return KYCM_INVALID_ARGUMENT;
  const CodeInfo* info = find_code(code);
  if (info != nullptr) {
    std::snprintf(buffer, length, "%s", info->description);
  } else {
    std::snprintf(buffer, length, "Unknown error code %u.", code);
  }
  return OK;
}
KYCM_CATCH

}  // extern "C"
