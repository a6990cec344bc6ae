// The op engine's version query.
#include "kycore/version.h"

#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"

extern "C" KY_API uint32_t kyceGetVersion(const char** text, uint32_t* major, uint32_t* minor, uint32_t* patch,
                                          uint32_t* build) try {
  KY_GATE("kyceGetVersion", {}, static_cast<const void*>(text), major, minor, patch, build);
  if (text != nullptr) *text = KY_SDK_VERSION_TEXT;
  kycore::store_version_numbers(major, minor, patch, build);
  return kyceER_SUCCESS;
}
KYCE_CATCH
