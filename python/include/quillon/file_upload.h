// Uploading the first bytes of a file into new device memory, shared by
// kycl's loadImage and kyce's readImageFile: both report what went wrong on
// the process's standard output and leave nothing allocated behind.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// Device memory holding the first `size` bytes of the file at `path`, or
// null after a failure. The file, host memory and open failures are
// reported on standard output (flushed); the device allocation and copy
// failures silently. Touches nothing of Python: callers release the
// interpreter lock around it.
void* upload_file(const std::string& path, uint64_t size);

}  // namespace quillon
