// The JPEG segment walk: markers and lengths only, no entropy-coded data.
#include "jpeg_header.h"

namespace kyme {
namespace {

uint32_t big_endian16(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 8) | p[1]; }

kymeChromaFormat chroma_of(const uint8_t* components, uint32_t count) {
  if (count == 1) return KYME_CHROMA_FMT_400;
  if (count != 3) return KYME_CHROMA_FMT_NONE;
  // Sampling factors: high nibble horizontal, low nibble vertical.
  const uint32_t h = components[1] >> 4, v = components[1] & 15;
  for (uint32_t i = 1; i < 3; ++i) {
    if (components[3 * i + 1] != 0x11) return KYME_CHROMA_FMT_NONE;
  }
  if (h == 1 && v == 1) return KYME_CHROMA_FMT_444;
  if (h == 2 && v == 2) return KYME_CHROMA_FMT_420;
  if (h == 2 && v == 1) return KYME_CHROMA_FMT_422;
  if (h == 1 && v == 2) return KYME_CHROMA_FMT_440;
  if (h == 4 && v == 1) return KYME_CHROMA_FMT_411;
  return KYME_CHROMA_FMT_NONE;
}

kymeJpegCodingMode coding_of(uint8_t marker) {
  switch (marker & 0x03) {
    case 0:
    case 1:
      return KYME_JPEG_BASELINE;  // baseline and extended sequential
    case 2:
      return KYME_JPEG_PROGRESSIVE;
    default:
      return KYME_JPEG_NONE;  // lossless
  }
}

}  // namespace

bool read_jpeg_header(const uint8_t* data, std::size_t size, JpegHeader* header) {
  if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  JpegHeader out;
  std::size_t p = 2;
  while (p + 4 <= size) {
    if (data[p] != 0xFF) return false;
    const uint8_t marker = data[p + 1];
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      p += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return false;  // no frame header before the data
    const uint32_t length = big_endian16(data + p + 2);
    if (length < 2 || p + 2 + length > size) return false;
    const uint8_t* segment = data + p + 4;
    const uint32_t body = length - 2;
    if (marker == 0xE0 && body >= 12 && segment[0] == 'J' && segment[1] == 'F' && segment[2] == 'I' &&
        segment[3] == 'F' && segment[4] == 0) {
      out.x_density = big_endian16(segment + 8);
      out.y_density = big_endian16(segment + 10);
    }
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (body < 6) return false;
      out.precision = segment[0];
      out.height = big_endian16(segment + 1);
      out.width = big_endian16(segment + 3);
      out.components = segment[5];
      if (body < 6 + 3 * out.components) return false;
      out.frame_marker = marker;
      out.coding = coding_of(marker);
      out.lossless = (marker & 0x03) == 3;
      out.chroma = chroma_of(segment + 6, out.components);
      *header = out;
      return true;
    }
    p += 2 + length;
  }
  return false;
}

}  // namespace kyme
