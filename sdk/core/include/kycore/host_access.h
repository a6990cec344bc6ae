// Checks on host memory the runtime did not allocate itself (a caller's own
// buffer passed to a copy). The runtime cannot know where such a buffer
// ends, but it can refuse ranges that are not mapped in the process, or
// whose first and last bytes cannot be read (or written, for destinations),
// so that a wrong address becomes an error code instead of a crash.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

enum class HostAccess : uint8_t { read, write };

// True when every page of [address, address + size) is mapped and its first
// and last bytes allow `access`. A write probe stores back the byte it read,
// so it is only for ranges that the caller is about to overwrite anyway.
KY_EXPORT bool host_range_accessible(const void* address, uint64_t size, HostAccess access);

}  // namespace kycore
