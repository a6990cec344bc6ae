// Host memory of the common runtime.
#include "kycore/host_memory.h"

#include "kycm.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/test_control.h"
#include "objects.h"

extern "C" {

KY_EXPORT kycmRet_t kycmMallocHost(uint64_t size, void** address) try {
  KY_GATE("kycmMallocHost", ::kycore::clear_output(address), size, address);
  return kycore::HostMemory::instance().allocate(size, address);
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFreeHost(void* address) try {
  KY_GATE("kycmFreeHost", {}, address);
  if (address == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  return kycm::release_unless_owned(address, [address] { return kycore::HostMemory::instance().release(address); });
}
KYCM_CATCH

}  // extern "C"
