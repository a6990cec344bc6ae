// What a JPEG's headers say before any decoding: size, coding process,
// sampling, and the densities of its JFIF segment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kyme.h"

namespace kyme {

struct JpegHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t x_density = 0;
  uint32_t y_density = 0;
  uint32_t components = 0;
  uint32_t precision = 0;
  uint8_t frame_marker = 0;  // 0xC0 to 0xCF
  kymeChromaFormat chroma = KYME_CHROMA_FMT_NONE;
  kymeJpegCodingMode coding = KYME_JPEG_NONE;
  bool lossless = false;
};

// Walks the segments from the start of image to the frame header. False when
// the bytes hold no frame header.
bool read_jpeg_header(const uint8_t* data, std::size_t size, JpegHeader* header);

}  // namespace kyme
