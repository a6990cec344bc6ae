// JPEG decoding with libjpeg-turbo's TurboJPEG interface.
#pragma once

#include <memory>

#include "kyme.h"
#include "picture_codec.h"

namespace kyme {

// Each compressed block given to `decode` is one whole JPEG image.
std::unique_ptr<PictureCodec> make_jpeg_codec(kymePixelFormat output);

}  // namespace kyme
