// JPEG encoding with libjpeg-turbo's libjpeg interface.
#pragma once

#include <memory>
#include <string>

#include "encoder_codec.h"

namespace kyme {

// `format`: the pictures' format; `comment`: written as a COM segment when
// not empty. Null when the format is not one the encoder takes.
std::unique_ptr<PictureEncoder> make_jpeg_encoder(kymePixelFormat format, int width, int height, std::string comment);

// Whether `format` is one make_jpeg_encoder takes.
bool jpeg_encodes(kymePixelFormat format);

// Baseline JPEG quality of every picture.
constexpr int kJpegQuality = 90;
// The longest comment one COM segment holds.
constexpr std::size_t kMaxJpegComment = 65533;

}  // namespace kyme
