// The picture a caller's frame describes, checked and copied out of host or
// device memory into a picture the encoder owns, converted to the layout
// the encoder takes when the caller's differs.
#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdint>

#include "encoder_codec.h"
#include "kyme.h"

namespace kyme {

// 0 with `*out` the copy, KYME_UNSUPPORTED_FORMAT when the format, size or
// strides do not suit, KYME_INVALID_ARGUMENT when a plane is not readable
// memory, KYME_OUT_OF_MEMORY. `scaler` is the caller's cached converter.
uint32_t copy_picture(const kymeFrame& frame, const PictureEncoder& encoder, SwsContext** scaler, FramePtr* out);

}  // namespace kyme
