// The bytes a caller's stream record describes, wherever they live: device
// input is read through its host backing, host input only when the whole
// range is readable. Every entry point that reads a caller's stream goes
// through here, so a wrong address is a code, never a fault.
#pragma once

#include <cstdint>

#include "kycore/device_memory.h"
#include "kyme.h"

namespace kyme {

// Null when the stream has no bytes, or they are neither live device memory
// nor readable host memory. `keep` holds device bytes alive while in use.
const uint8_t* stream_bytes(const kymeStream& stream, kycore::DeviceSpan* keep);

}  // namespace kyme
