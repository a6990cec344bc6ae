// Looking into coded H.264 and HEVC access units without decoding them:
// start codes, parameter sets, slice headers and leading pictures, for the
// demuxer's packet index and for the packets it hands the card's decoder.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>

namespace quillon_native {

// Whether a buffer starts with an Annex B start code (three or four bytes).
bool starts_annexb(const uint8_t* data, int size);

// Whether an Annex B unit carries a sequence parameter set (which the
// decoder needs before the first picture it is given).
bool holds_sequence_parameters(const uint8_t* data, int size, AVCodecID codec);

// Whether an HEVC access unit in Annex B form holds a leading picture (RADL
// or RASL). Packets of other forms (length-prefixed) say nothing.
bool hevc_leading_picture(const uint8_t* data, int size);

// The first coded slice's NAL unit header of an access unit, in Annex B
// form (`length_size` 0) or with `length_size`-byte lengths: its first byte
// (H.264) or both (HEVC, big-endian); -1 when there is none.
int first_slice_header(const uint8_t* data, int size, bool hevc, int length_size);

// Cuts out of an H.264 Annex B packet the IDR units that are not reference
// pictures, which decoders refuse; 0, or libav's code when the packet could
// not be made writable.
int drop_false_idr_units(AVPacket* packet);

}  // namespace quillon_native
