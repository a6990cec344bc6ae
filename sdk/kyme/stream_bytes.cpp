// The caller's stream bytes, checked before the library reads them.
#include "stream_bytes.h"

#include "kycore/host_access.h"

namespace kyme {

const uint8_t* stream_bytes(const kymeStream& stream, kycore::DeviceSpan* keep) {
  if (stream.data == nullptr || stream.length == 0) return nullptr;
  if (kycore::DeviceMemory::is_device_address(stream.data)) {
    *keep = kycore::DeviceMemory::instance().resolve(stream.data, stream.length);
    return keep->data;
  }
  return kycore::host_range_accessible(stream.data, stream.length, kycore::HostAccess::read) ? stream.data : nullptr;
}

}  // namespace kyme
