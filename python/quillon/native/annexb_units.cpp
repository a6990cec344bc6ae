// Parsing of Annex B and length-prefixed access units (annexb_units.h). Only
// the units' headers and the bytes before the first slice are read.
#include "annexb_units.h"

#include <algorithm>
#include <cstring>

namespace quillon_native {

namespace {

// Where the Annex B unit that starts at `from` ends: at the next start code
// (its leading zero byte included when it has four), or at `size`.
int unit_end(const uint8_t* data, int size, int from) {
  for (int i = from; i + 2 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i > from && data[i - 1] == 0 ? i - 1 : i;
  }
  return size;
}

}  // namespace

bool starts_annexb(const uint8_t* data, int size) {
  return (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
         (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

// Whether an Annex B unit carries a sequence parameter set (which the
// decoder needs before the first picture it is given).
bool holds_sequence_parameters(const uint8_t* data, int size, AVCodecID codec) {
  for (int i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (codec == AV_CODEC_ID_H264 && (header & 0x1F) == 7) return true;
    if (codec == AV_CODEC_ID_HEVC && ((header >> 1) & 0x3F) == 33) return true;
    i += 2;
  }
  return false;
}

// Whether an HEVC access unit in Annex B form holds a leading picture (RADL
// or RASL): the NAL unit type of its first coded slice. Packets of other
// forms (length-prefixed, as MP4 stores them) say nothing.
bool hevc_leading_picture(const uint8_t* data, int size) {
  if (!starts_annexb(data, size)) return false;
  for (int i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const int type = (data[i + 3] >> 1) & 0x3F;
    if (type < 32) return type >= 6 && type <= 9;
    i += 2;
  }
  return false;
}

// The first coded slice's NAL unit header of an access unit, in Annex B
// form (`length_size` 0) or with `length_size`-byte lengths (MP4,
// Matroska; whose first bytes may look like a start code): its first byte
// (H.264) or both (HEVC, big-endian); -1 when there is none.
int first_slice_header(const uint8_t* data, int size, bool hevc, int length_size) {
  const auto slice = [&](int at) -> int {
    if (at >= size || (hevc && at + 1 >= size)) return -2;
    if (hevc) {
      const int type = (data[at] >> 1) & 0x3F;
      return type < 32 ? (data[at] << 8 | data[at + 1]) : -1;
    }
    const int type = data[at] & 0x1F;
    return type >= 1 && type <= 5 ? data[at] : -1;
  };
  if (length_size == 0) {
    for (int i = 0; i + 3 < size; ++i) {
      if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
      const int header = slice(i + 3);
      if (header >= 0) return header;
      i += 2;
    }
    return -1;
  }
  if (length_size > 4) return -1;
  for (int at = 0; at + length_size <= size;) {
    int64_t length = 0;
    for (int b = 0; b < length_size; ++b) length = length << 8 | data[at + b];
    at += length_size;
    const int header = slice(at);
    if (header >= 0) return header;
    if (header == -2 || length <= 0) return -1;
    at += static_cast<int>(std::min<int64_t>(length, size - at));
  }
  return -1;
}

// 0), and decoders refuse one; some phone files lead a picture with such a
// unit (an SEI message under a wrong header byte). A parser, as the card's
// decoder has, takes it for a picture of its own, so the packet's time stamp
// went to it and the real picture came out without one. It is cut out of
// the packet. Only the units before the first slice are looked at: the
// slices' data is not scanned.
int drop_false_idr_units(AVPacket* packet) {
  int i = 0;
  while (i + 3 < packet->size) {
    const uint8_t* data = packet->data;
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
      ++i;
      continue;
    }
    const uint8_t header = data[i + 3];
    const int type = header & 0x1F;
    if (type == 5 && (header & 0x60) == 0) {
      const int begin = i > 0 && data[i - 1] == 0 ? i - 1 : i;
      const int end = unit_end(data, packet->size, i + 3);
      const int code = av_packet_make_writable(packet);
      if (code < 0) return code;
      std::memmove(packet->data + begin, packet->data + end, static_cast<std::size_t>(packet->size - end));
      packet->size -= end - begin;
      std::memset(packet->data + packet->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
      i = begin;
      continue;
    }
    if (type >= 1 && type <= 5) break;
    i += 3;
  }
  return 0;
}

}  // namespace quillon_native
