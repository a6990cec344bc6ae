// Contexts: library objects bound to one device, made current per thread.
#include "kycm.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/life_cycle.h"
#include "kycore/test_control.h"
#include "runtime_state.h"

using namespace kycore;

namespace {

struct Context {
  uint32_t device;
};

// The calling thread's current context, as the handle it was given; checked
// against the registry when read, since another thread may destroy it.
thread_local void* t_current_context = nullptr;

std::shared_ptr<Context> find_context(const void* handle) {
  return HandleRegistry::instance().find<Context>(handle, HandleKind::context);
}

}  // namespace

uint32_t kycm::current_thread_device() {
  if (t_current_context != nullptr) {
    if (auto context = find_context(t_current_context)) return context->device;
  }
  return kycm::runtime().device.load();
}

extern "C" {

KY_EXPORT kycmRet_t kycmCreateContext(uint32_t device, void** context) try {
  KY_GATE("kycmCreateContext", ::kycore::clear_output(context), device, context);
  if (context == nullptr) return KYCM_INVALID_ARGUMENT;
  auto lock = creating();
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (!kycm::valid_device(device)) return KYCM_INVALID_DEVICE;
  *context = HandleRegistry::instance().add(HandleKind::context, std::make_shared<Context>(Context{device}),
                                            static_cast<int32_t>(device));
  kycm::publish_contexts(static_cast<int32_t>(device));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmDestroyContext(void* context) try {
  KY_GATE("kycmDestroyContext", {}, context);
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  const auto found = find_context(context);
  if (!HandleRegistry::instance().remove<Context>(context, HandleKind::context)) return KYCM_INVALID_HANDLE;
  if (t_current_context == context) t_current_context = nullptr;
  if (found) kycm::publish_contexts(static_cast<int32_t>(found->device));
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmSetCurrentContext(void* context) try {
  KY_GATE("kycmSetCurrentContext", {}, context);
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (context != nullptr && !find_context(context)) return KYCM_INVALID_HANDLE;
  t_current_context = context;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetCurrentContext(void** context) try {
  KY_GATE("kycmGetCurrentContext", ::kycore::clear_output(context), context);
  if (context == nullptr) return KYCM_INVALID_ARGUMENT;
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  if (t_current_context != nullptr && !find_context(t_current_context)) t_current_context = nullptr;
  *context = t_current_context;
  return OK;
}
KYCM_CATCH

}  // extern "C"
