// The media engine's system state: initialisation and version.
#include <atomic>
#include <mutex>

#include "decoder_registry.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/export.h"
#include "kycore/test_control.h"
#include "kycore/version.h"
#include "kyme.h"

using namespace kycore;

namespace {

std::atomic<bool> g_initialized{false};
// Initialisation waits for an uninitialisation in progress, whose emptying
// of the tables would otherwise take channels of the new session too.
std::mutex g_changing;

// Writable: the library hands it out as char*.
char g_version_text[] = KY_SDK_VERSION_TEXT;

}  // namespace

namespace kyme {

bool media_initialized() { return g_initialized.load(); }

}  // namespace kyme

extern "C" {

KY_EXPORT kymeRet_t kymeSystemInitialize(void) try {
  KY_GATE("kymeSystemInitialize", {});
  const std::lock_guard<std::mutex> lock(g_changing);
  if (g_initialized.exchange(true)) return KYME_ALREADY_INITIALIZED;
  return OK;
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeSystemUninitialize(void) try {
  KY_GATE("kymeSystemUninitialize", {});
  const std::lock_guard<std::mutex> lock(g_changing);
  // Marked first: a channel being created meanwhile is either refused or
  // already in its table when the tables are emptied.
  if (!g_initialized.exchange(false)) return KYME_NOT_INITIALIZED;
  // Channels left open are destroyed, as the card does when its media engine stops.
  kyme::destroy_all_decoder_channels();
  kyme::destroy_all_encoder_channels();
  return OK;
}
KYME_CATCH

KY_EXPORT kymeRet_t kymeGetVersion(char** version, uint32_t* major, uint32_t* minor, uint32_t* patch,
                                   uint32_t* build) try {
  KY_GATE("kymeGetVersion", ::kycore::clear_output(version), version, major, minor, patch, build);
  if (version == nullptr) return KYME_INVALID_ARGUMENT;
  *version = g_version_text;
  kycore::store_version_numbers(major, minor, patch, build);
  return OK;
}
KYME_CATCH

}  // extern "C"
