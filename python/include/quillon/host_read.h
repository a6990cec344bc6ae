// Reads of host memory named by a handle, for the helpers that copy from an
// address without a library call. The module cannot know where the caller's
// block ends, but it refuses an address that is not readable host memory
// (a device address, a handle of another kind, an unmapped range) with a
// Python exception instead of letting the process fault.
#pragma once

#include <cstddef>

namespace quillon {

// True when every page of [address, address + size) is mapped and readable
// (always for size 0). Pages the copy is about to read may be faulted in.
bool readable_host_memory(const void* address, std::size_t size);

// Throws ValueError, naming `function`, unless the range is readable as above.
void require_readable_host_memory(const void* address, std::size_t size, const char* function);

}  // namespace quillon
