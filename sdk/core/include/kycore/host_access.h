// Checks on host memory the runtime did not allocate itself (a caller's own
// buffer passed to a copy). The runtime cannot know where such a buffer
// ends, but it can refuse ranges with a page that is not mapped in the
// process or does not allow the access (reading a source, writing a
// destination), so that a wrong address becomes an error code instead of a
// crash.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

enum class HostAccess : uint8_t { read, write };

// True when every page of [address, address + size) is mapped and allows
// `access`. Nothing is read or written; pages the copy is about to touch may
// be faulted in (for writing: made private and writable).
KY_EXPORT bool host_range_accessible(const void* address, uint64_t size, HostAccess access);

}  // namespace kycore
