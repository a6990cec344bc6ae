// Reading HEVC parameter sets and slice headers as far as the reference
// picture lists (hevc_references.h). Where anything is out of the ordinary
// (long-term references, a parameter set between random-access points, a
// header that ends early or names a picture no reference set holds) the
// references are given up as unknown, and passes leave out only the
// pictures no other picture refers to.
#include "hevc_references.h"

#include <algorithm>
#include <cstring>

namespace quillon_native {

namespace {

// NAL unit types.
constexpr int kRadlN = 6;
constexpr int kRaslN = 8;
constexpr int kRaslR = 9;
constexpr int kBlaWLp = 16;
constexpr int kIdrWRadl = 19;
constexpr int kIdrNLp = 20;
constexpr int kLastIrap = 23;
constexpr int kVps = 32;
constexpr int kSps = 33;
constexpr int kPps = 34;
constexpr int kEndOfSequence = 36;
constexpr int kEndOfBitstream = 37;

constexpr int kSliceB = 0;
constexpr int kSliceI = 2;

// Bits of a unit's payload with its emulation prevention bytes taken out;
// reading past the end gives zeros and marks the reader as overrun.
class Bits {
 public:
  Bits(const uint8_t* data, int size, int limit) {
    const int end = std::min(size, limit);
    bytes_.reserve(static_cast<std::size_t>(end));
    int zeros = 0;
    for (int i = 0; i < end; ++i) {
      if (zeros >= 2 && data[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = data[i] == 0 ? zeros + 1 : 0;
      bytes_.push_back(data[i]);
    }
  }

  uint32_t u(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 1 | bit();
    return value;
  }
  bool flag() { return bit() != 0; }
  // No value read here needs more than 20 bits; a longer code is damage,
  // and refusing it keeps every sum of them far from overflowing.
  uint32_t ue() {
    int zeros = 0;
    while (bit() == 0) {
      if (++zeros > 20) {
        overrun_ = true;
        return 0;
      }
    }
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
  }
  int32_t se() {
    const uint32_t code = ue();
    return (code & 1) != 0 ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
  }
  void skip(int count) {
    for (int i = 0; i < count; ++i) bit();
  }
  bool overrun() const { return overrun_; }

 private:
  uint32_t bit() {
    if (at_ >= bytes_.size() * 8) {
      overrun_ = true;
      return 0;
    }
    const uint32_t value = (bytes_[at_ / 8] >> (7 - at_ % 8)) & 1;
    ++at_;
    return value;
  }

  std::vector<uint8_t> bytes_;
  std::size_t at_ = 0;
  bool overrun_ = false;
};

// Bits needed to tell `count` values apart: Ceil(Log2(count)).
int bits_for(int count) {
  int bits = 0;
  while ((1 << bits) < count) ++bits;
  return bits;
}

void skip_profile_tier_level(Bits& bits, int sub_layers) {
  bits.skip(96);  // the general profile, its flags and the level
  std::array<bool, 8> profile{};
  std::array<bool, 8> level{};
  for (int i = 0; i < sub_layers; ++i) {
    profile[i] = bits.flag();
    level[i] = bits.flag();
  }
  if (sub_layers > 0) bits.skip(2 * (8 - sub_layers));
  for (int i = 0; i < sub_layers; ++i) bits.skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
}

void skip_scaling_list_data(Bits& bits) {
  for (int size = 0; size < 4; ++size) {
    for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
      if (!bits.flag()) {
        bits.ue();
        continue;
      }
      if (size > 1) bits.se();
      const int coefficients = std::min(64, 1 << (4 + (size << 1)));
      for (int i = 0; i < coefficients && !bits.overrun(); ++i) bits.se();
    }
  }
}

// st_ref_pic_set(index) of a sequence parameter set (`index` < the count
// of `sets`) or of a slice header (`index` == that count). False when the
// set is out of range.
bool read_short_term_set(Bits& bits, int index, const std::vector<HevcReferences::ShortTermSet>& sets,
                         HevcReferences::ShortTermSet& out) {
  out = HevcReferences::ShortTermSet{};
  const int count = static_cast<int>(sets.size());
  if (index != 0 && bits.flag()) {  // predicted from an earlier set
    const int delta_index = index == count ? static_cast<int>(bits.ue()) + 1 : 1;
    if (delta_index > index) return false;
    const bool sign = bits.flag();
    const int32_t delta_rps = (sign ? -1 : 1) * (static_cast<int32_t>(bits.ue()) + 1);
    const HevcReferences::ShortTermSet& from = sets[static_cast<std::size_t>(index - delta_index)];
    const int total = from.negative + from.positive;
    std::array<bool, 33> used{};
    std::array<bool, 33> use_delta{};
    for (int j = 0; j <= total; ++j) {
      used[j] = bits.flag();
      use_delta[j] = used[j] || bits.flag();
    }
    std::array<int32_t, 32> s0{};
    std::array<bool, 32> u0{};
    std::array<int32_t, 32> s1{};
    std::array<bool, 32> u1{};
    int i = 0;
    for (int j = from.positive - 1; j >= 0; --j) {
      const int32_t poc = from.delta[from.negative + j] + delta_rps;
      if (poc < 0 && use_delta[from.negative + j] && i < 16) {
        s0[i] = poc;
        u0[i++] = used[from.negative + j];
      }
    }
    if (delta_rps < 0 && use_delta[total] && i < 16) {
      s0[i] = delta_rps;
      u0[i++] = used[total];
    }
    for (int j = 0; j < from.negative; ++j) {
      const int32_t poc = from.delta[j] + delta_rps;
      if (poc < 0 && use_delta[j] && i < 16) {
        s0[i] = poc;
        u0[i++] = used[j];
      }
    }
    const int negative = i;
    i = 0;
    for (int j = from.negative - 1; j >= 0; --j) {
      const int32_t poc = from.delta[j] + delta_rps;
      if (poc > 0 && use_delta[j] && i < 16) {
        s1[i] = poc;
        u1[i++] = used[j];
      }
    }
    if (delta_rps > 0 && use_delta[total] && i < 16) {
      s1[i] = delta_rps;
      u1[i++] = used[total];
    }
    for (int j = 0; j < from.positive; ++j) {
      const int32_t poc = from.delta[from.negative + j] + delta_rps;
      if (poc > 0 && use_delta[from.negative + j] && i < 16) {
        s1[i] = poc;
        u1[i++] = used[from.negative + j];
      }
    }
    out.negative = negative;
    out.positive = i;
    for (int k = 0; k < negative; ++k) {
      out.delta[k] = s0[k];
      out.used[k] = u0[k];
    }
    for (int k = 0; k < i; ++k) {
      out.delta[negative + k] = s1[k];
      out.used[negative + k] = u1[k];
    }
    return true;
  }
  const uint32_t negative = bits.ue();
  const uint32_t positive = bits.ue();
  if (negative > 16 || positive > 16) return false;
  out.negative = static_cast<int>(negative);
  out.positive = static_cast<int>(positive);
  int32_t poc = 0;
  for (int i = 0; i < out.negative; ++i) {
    poc -= static_cast<int32_t>(bits.ue()) + 1;
    out.delta[i] = poc;
    out.used[i] = bits.flag();
  }
  poc = 0;
  for (int i = 0; i < out.positive; ++i) {
    poc += static_cast<int32_t>(bits.ue()) + 1;
    out.delta[out.negative + i] = poc;
    out.used[out.negative + i] = bits.flag();
  }
  return !bits.overrun();
}

// A sequence parameter set's payload, as far as the slice headers need it.
bool read_sequence(Bits& bits, int& id, HevcReferences::Sequence& out) {
  bits.skip(4);
  const int sub_layers = static_cast<int>(bits.u(3));
  bits.skip(1);
  skip_profile_tier_level(bits, sub_layers);
  id = static_cast<int>(bits.ue());
  const uint32_t chroma_format = bits.ue();
  const bool separate_planes = chroma_format == 3 && bits.flag();
  out.separate_planes = separate_planes;
  out.chroma_array_type = separate_planes ? 0 : static_cast<int>(chroma_format);
  const uint32_t width = bits.ue();
  const uint32_t height = bits.ue();
  if (bits.flag()) {  // conformance window
    for (int i = 0; i < 4; ++i) bits.ue();
  }
  bits.ue();  // bit depths
  bits.ue();
  const uint32_t poc_lsb_bits = bits.ue() + 4;
  if (id > 15 || poc_lsb_bits > 16) return false;
  out.poc_lsb_bits = static_cast<int>(poc_lsb_bits);
  const bool all_sub_layers = bits.flag();
  for (int i = all_sub_layers ? 0 : sub_layers; i <= sub_layers; ++i) {
    for (int k = 0; k < 3; ++k) bits.ue();
  }
  const uint32_t min_block = bits.ue() + 3;
  const uint32_t ctb_log2 = min_block + bits.ue();
  if (ctb_log2 > 6 || width == 0 || height == 0 || width > 65536 || height > 65536) return false;
  const uint32_t ctb = 1U << ctb_log2;
  out.ctbs = static_cast<int>(((width + ctb - 1) / ctb) * ((height + ctb - 1) / ctb));
  for (int i = 0; i < 4; ++i) bits.ue();  // transform sizes and depths
  if (bits.flag() && bits.flag()) skip_scaling_list_data(bits);
  bits.skip(1);  // asymmetric motion partitions
  out.sample_adaptive_offset = bits.flag();
  if (bits.flag()) {  // PCM
    bits.skip(8);
    bits.ue();
    bits.ue();
    bits.skip(1);
  }
  const uint32_t sets = bits.ue();
  if (sets > 64) return false;
  out.short_term.resize(sets);
  for (uint32_t i = 0; i < sets; ++i) {
    if (!read_short_term_set(bits, static_cast<int>(i), out.short_term, out.short_term[i])) return false;
  }
  out.long_term_present = bits.flag();
  if (out.long_term_present) {
    const uint32_t long_term = bits.ue();
    if (long_term > 32) return false;
    out.long_term_sps = static_cast<int>(long_term);
    bits.skip(static_cast<int>(long_term) * (out.poc_lsb_bits + 1));
  }
  out.temporal_mvp = bits.flag();
  return !bits.overrun();
}

bool read_picture_set(Bits& bits, int& id, HevcReferences::PictureSet& out) {
  const uint32_t pps = bits.ue();
  const uint32_t sps = bits.ue();
  if (pps > 63 || sps > 15) return false;
  id = static_cast<int>(pps);
  out.sequence = static_cast<int>(sps);
  out.dependent_slices = bits.flag();
  out.output_flag_present = bits.flag();
  out.extra_slice_header_bits = static_cast<int>(bits.u(3));
  bits.skip(2);  // sign data hiding, CABAC initialisation
  out.l0_default = static_cast<int>(bits.ue()) + 1;
  out.l1_default = static_cast<int>(bits.ue()) + 1;
  bits.se();                   // initial QP
  bits.skip(2);                // constrained intra prediction, transform skip
  if (bits.flag()) bits.ue();  // QP deltas' depth
  bits.se();                   // chroma QP offsets
  bits.se();
  bits.skip(4);  // slice chroma QP offsets, weighted prediction and bi-prediction, transquant bypass
  const bool tiles = bits.flag();
  bits.skip(1);  // entropy coding sync
  if (tiles) {
    const uint32_t columns = bits.ue();
    const uint32_t rows = bits.ue();
    if (columns > 64 || rows > 64) return false;
    if (!bits.flag()) {  // not uniformly spaced
      for (uint32_t i = 0; i < columns + rows; ++i) bits.ue();
    }
    bits.skip(1);
  }
  bits.skip(1);       // loop filter across slices
  if (bits.flag()) {  // deblocking control
    bits.skip(1);
    if (!bits.flag()) {
      bits.se();
      bits.se();
    }
  }
  if (bits.flag()) skip_scaling_list_data(bits);
  out.lists_modification = bits.flag();
  return out.l0_default <= 15 && out.l1_default <= 15 && !bits.overrun();
}

}  // namespace

void HevcReferences::add_parameter_sets(const uint8_t* extradata, int size) {
  if (extradata == nullptr || size <= 0) return;
  if (size > 22 && extradata[0] == 1) {  // hvcC: arrays of length-prefixed units from byte 22
    int at = 23;
    for (int array = 0; array < extradata[22] && at + 3 <= size; ++array) {
      const int units = extradata[at + 1] << 8 | extradata[at + 2];
      at += 3;
      for (int u = 0; u < units && at + 2 <= size; ++u) {
        const int length = extradata[at] << 8 | extradata[at + 1];
        at += 2;
        if (length > size - at) return;
        unit(extradata + at, length, true);
        at += length;
      }
    }
    return;
  }
  units(extradata, size, 0, true);
}

void HevcReferences::add_packet(const uint8_t* data, int size, int length_size, bool key) {
  units(data, size, length_size, key);
  close_picture();
  offsets_.push_back(static_cast<int64_t>(ordinals_.size()));
}

void HevcReferences::units(const uint8_t* data, int size, int length_size, bool key) {
  if (length_size == 0) {
    int begin = -1;
    for (int i = 0; i + 2 < size; ++i) {
      if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
      if (begin >= 0) unit(data + begin, (i > begin && data[i - 1] == 0 ? i - 1 : i) - begin, key);
      begin = i + 3;
      i += 2;
    }
    if (begin >= 0) unit(data + begin, size - begin, key);
  } else if (length_size <= 4) {
    for (int at = 0; at + length_size <= size;) {
      int64_t length = 0;
      for (int b = 0; b < length_size; ++b) length = length << 8 | data[at + b];
      at += length_size;
      if (length <= 0 || length > size - at) break;
      unit(data + at, static_cast<int>(length), key);
      at += static_cast<int>(length);
    }
  }
}

void HevcReferences::unit(const uint8_t* data, int size, bool key) {
  if (!known_ || size < 2) return;
  const int type = (data[0] >> 1) & 0x3F;
  const int layer = (data[0] & 1) << 5 | data[1] >> 3;
  if (layer != 0) return;  // other layers are not decoded
  if (type == kEndOfSequence || type == kEndOfBitstream) {
    after_end_of_sequence_ = true;
    return;
  }
  if (type == kSps || type == kPps || type == kVps) {
    if (!key) {
      known_ = false;  // a picture may depend on it, whoever skips the packet
      return;
    }
    if (type == kVps) return;
    Bits bits(data + 2, size - 2, size);
    int id = 0;
    if (type == kSps) {
      Sequence sequence;
      if (!read_sequence(bits, id, sequence)) {
        known_ = false;
        return;
      }
      sequences_[id] = std::move(sequence);
    } else {
      PictureSet set;
      if (!read_picture_set(bits, id, set)) {
        known_ = false;
        return;
      }
      picture_sets_[id] = set;
    }
    return;
  }
  if (type < 32) slice(data, size);
}

void HevcReferences::slice(const uint8_t* data, int size) {
  const int type = (data[0] >> 1) & 0x3F;
  const int temporal_id = (data[1] & 7) - 1;
  // A slice header is a few dozen bytes; a few hundred cover the longest.
  Bits bits(data + 2, size - 2, 1024);
  const bool first = bits.flag();
  const bool irap = type >= kBlaWLp && type <= kLastIrap;
  if (irap) bits.skip(1);  // no output of prior pictures
  const auto set = picture_sets_.find(static_cast<int>(bits.ue()));
  if (set == picture_sets_.end()) {
    known_ = false;
    return;
  }
  const PictureSet& pps = set->second;
  const auto found = sequences_.find(pps.sequence);
  if (found == sequences_.end()) {
    known_ = false;
    return;
  }
  const Sequence& sps = found->second;
  if (!first) {
    if (!has_picture_) {
      known_ = false;  // a picture begun in another packet
      return;
    }
    if (pps.dependent_slices && bits.flag()) return;  // a dependent segment: its header is the slice's
    bits.skip(bits_for(sps.ctbs));
  } else {
    close_picture();  // two pictures in one packet: the packet stands for both
  }
  bits.skip(pps.extra_slice_header_bits);
  const uint32_t slice_type = bits.ue();
  if (pps.output_flag_present) bits.skip(1);
  if (sps.separate_planes) bits.skip(2);
  const bool idr = type == kIdrWRadl || type == kIdrNLp;
  const int64_t lsb = idr ? 0 : bits.u(sps.poc_lsb_bits);
  if (first) {
    // The picture order count (its most significant part carried on from
    // the last picture of TemporalId 0 that is no leading or sub-layer
    // non-reference one).
    const bool no_rasl_output = irap && (type < kIdrWRadl || idr || first_picture_ || after_end_of_sequence_);
    const int64_t range = int64_t{1} << sps.poc_lsb_bits;
    int64_t msb = 0;
    if (no_rasl_output) {
      by_count_.clear();
    } else {
      const int64_t previous_lsb = previous_tid0_count_ & (range - 1);
      const int64_t previous_msb = previous_tid0_count_ - previous_lsb;
      msb = previous_msb;
      if (lsb < previous_lsb && previous_lsb - lsb >= range / 2) msb += range;
      if (lsb > previous_lsb && lsb - previous_lsb > range / 2) msb -= range;
    }
    count_ = msb + lsb;
    has_picture_ = true;
    referred_.clear();
    kept_.clear();
    current_.clear();
    if (irap) {
      skipping_rasl_ = no_rasl_output;
      after_irap_ = true;
    }
    rasl_ = type == kRaslN || type == kRaslR;
    const bool sub_layer_non_reference = type <= 14 && type % 2 == 0;
    if (temporal_id == 0 && !(type >= kRadlN && type <= kRaslR) && !sub_layer_non_reference)
      previous_tid0_count_ = count_;
    first_picture_ = after_end_of_sequence_ = false;
  }
  if (idr) return;
  ShortTermSet chosen;
  if (!bits.flag()) {
    if (!read_short_term_set(bits, static_cast<int>(sps.short_term.size()), sps.short_term, chosen)) {
      known_ = false;
      return;
    }
  } else {
    const uint32_t index = sps.short_term.size() > 1 ? bits.u(bits_for(static_cast<int>(sps.short_term.size()))) : 0;
    if (index >= sps.short_term.size()) {
      known_ = false;
      return;
    }
    chosen = sps.short_term[index];
  }
  if (first) {
    for (int i = 0; i < chosen.negative + chosen.positive; ++i) {
      kept_.push_back(count_ + chosen.delta[i]);
      if (chosen.used[i]) current_.push_back(count_ + chosen.delta[i]);
    }
  }
  if (sps.long_term_present) {
    const uint32_t from_sps = sps.long_term_sps > 0 ? bits.ue() : 0;
    if (from_sps != 0 || bits.ue() != 0) {
      known_ = false;  // long-term references are left to the decoder
      return;
    }
  }
  if (slice_type == kSliceI) return;
  if (sps.temporal_mvp) bits.skip(1);
  if (sps.sample_adaptive_offset) bits.skip(sps.chroma_array_type != 0 ? 2 : 1);
  // The reference picture lists (the first entries of the current ones,
  // earlier pictures first in list 0, later ones in list 1, unless the
  // slice reorders them): only those are predicted from.
  std::vector<int64_t> before;
  std::vector<int64_t> after;
  for (int i = 0; i < chosen.negative + chosen.positive; ++i) {
    if (chosen.used[i]) (i < chosen.negative ? before : after).push_back(count_ + chosen.delta[i]);
  }
  const int total = static_cast<int>(before.size() + after.size());
  int active[2] = {pps.l0_default, pps.l1_default};
  if (bits.flag()) {
    active[0] = static_cast<int>(bits.ue()) + 1;
    if (slice_type == kSliceB) active[1] = static_cast<int>(bits.ue()) + 1;
  }
  const int lists = slice_type == kSliceB ? 2 : 1;
  if (total == 0 || active[0] > 15 || active[1] > 15 || bits.overrun()) {
    known_ = false;
    return;
  }
  for (int list = 0; list < lists; ++list) {
    std::vector<int64_t> candidates;
    const std::vector<int64_t>& head = list == 0 ? before : after;
    const std::vector<int64_t>& tail = list == 0 ? after : before;
    while (static_cast<int>(candidates.size()) < std::max(active[list], total)) {
      candidates.insert(candidates.end(), head.begin(), head.end());
      candidates.insert(candidates.end(), tail.begin(), tail.end());
    }
    const bool modified = pps.lists_modification && total > 1 && bits.flag();
    for (int i = 0; i < active[list]; ++i) {
      const uint32_t entry = modified ? bits.u(bits_for(total)) : static_cast<uint32_t>(i);
      if (entry >= candidates.size()) {
        known_ = false;
        return;
      }
      referred_.push_back(candidates[entry]);
    }
  }
  if (bits.overrun()) known_ = false;
}

void HevcReferences::close_picture() {
  if (!has_picture_) return;
  has_picture_ = false;
  // A leading picture of a random-access point that starts a stream is
  // not decoded: its references are not there, and nothing refers to it.
  if (rasl_ && skipping_rasl_) return;
  const auto ordinal = static_cast<int64_t>(offsets_.size()) - 1;
  std::sort(referred_.begin(), referred_.end());
  referred_.erase(std::unique(referred_.begin(), referred_.end()), referred_.end());
  for (const int64_t count : current_) {
    // After the first random-access point every picture a picture may
    // predict from is there: one that is not means a header misread (or a
    // stream cut), and nothing can be left out safely.
    if (after_irap_ && by_count_.count(count) == 0) known_ = false;
  }
  for (const int64_t count : referred_) {
    const auto found = by_count_.find(count);
    if (found != by_count_.end() && found->second != ordinal) ordinals_.push_back(found->second);
  }
  // The pictures outside its reference set are no one's reference from
  // here on, as the decoder marks them.
  std::unordered_map<int64_t, int64_t> kept;
  for (const int64_t count : kept_) {
    const auto found = by_count_.find(count);
    if (found != by_count_.end()) kept.emplace(*found);
  }
  kept[count_] = ordinal;
  by_count_ = std::move(kept);
}

}  // namespace quillon_native
