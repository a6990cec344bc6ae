// Which earlier pictures each picture of an HEVC stream predicts from, read
// from the slice headers (reference picture sets and reference picture
// lists) without decoding, so that a pass for a few pictures can give the
// decoder those and the pictures they need, and nothing else.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace quillon_native {

class HevcReferences {
 public:
  // The parameter sets a container keeps apart from its packets: an hvcC
  // record or Annex B units.
  void add_parameter_sets(const uint8_t* extradata, int size);

  // The next packet in decode order (one access unit), Annex B
  // (`length_size` 0) or with `length_size`-byte unit lengths; `key` says
  // whether the container marks it as a random-access point.
  void add_packet(const uint8_t* data, int size, int length_size, bool key);

  // Whether every picture's references are known: false once a picture
  // uses long-term references, a parameter set comes between random-access
  // points, a header cannot be read, or a picture may predict from one that
  // no reference set holds any more (a misread header, a cut stream).
  bool known() const { return known_; }

  // The pictures each packet's picture predicts from, by ordinal: those of
  // packet i are ordinals()[offsets()[i]] to ordinals()[offsets()[i + 1] - 1].
  const std::vector<int64_t>& offsets() const { return offsets_; }
  const std::vector<int64_t>& ordinals() const { return ordinals_; }

  // A short-term reference picture set: picture order count differences,
  // the earlier pictures' first (closest first), then the later ones'.
  struct ShortTermSet {
    int negative = 0;
    int positive = 0;
    std::array<int32_t, 32> delta{};
    std::array<bool, 32> used{};
  };

  // What the slice headers' syntax depends on.
  struct Sequence {
    bool separate_planes = false;
    int chroma_array_type = 1;
    int poc_lsb_bits = 4;
    int ctbs = 1;  // coding tree blocks in a picture
    bool sample_adaptive_offset = false;
    bool long_term_present = false;
    int long_term_sps = 0;
    bool temporal_mvp = false;
    std::vector<ShortTermSet> short_term;
  };
  struct PictureSet {
    int sequence = 0;
    bool dependent_slices = false;
    bool output_flag_present = false;
    int extra_slice_header_bits = 0;
    int l0_default = 1;
    int l1_default = 1;
    bool lists_modification = false;
  };

 private:
  void units(const uint8_t* data, int size, int length_size, bool key);
  void unit(const uint8_t* data, int size, bool key);
  void slice(const uint8_t* data, int size);
  // Files the picture read so far under the current packet.
  void close_picture();

  bool known_ = true;
  std::vector<int64_t> offsets_{0};
  std::vector<int64_t> ordinals_;
  std::unordered_map<int, Sequence> sequences_;
  std::unordered_map<int, PictureSet> picture_sets_;
  // The picture being read: its picture order count and those of the
  // pictures its slices predict from.
  bool has_picture_ = false;
  int64_t count_ = 0;
  std::vector<int64_t> referred_;
  std::vector<int64_t> kept_;     // its reference picture set
  std::vector<int64_t> current_;  // the pictures of the set it may predict from
  bool rasl_ = false;
  bool skipping_rasl_ = false;  // the last random-access point's leading pictures are not decoded
  bool after_irap_ = false;
  // The picture order count of the last picture with TemporalId 0 that
  // orders the next ones' counts.
  int64_t previous_tid0_count_ = 0;
  bool first_picture_ = true;
  bool after_end_of_sequence_ = false;
  // The pictures that later ones may still refer to, by picture order count.
  std::unordered_map<int64_t, int64_t> by_count_;
};

}  // namespace quillon_native
