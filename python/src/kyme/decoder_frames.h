// The frames the decoder bindings filled with pictures of a channel. A host
// picture's bytes belong to the library until decReleaseFrame; after that
// (or after the channel is destroyed, or the media engine uninitialised) the
// frame's plane addresses are taken back, so a view of it raises instead of
// reading freed memory. Frames are held weakly.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <unordered_map>
#include <utility>

#include "kyme/media.h"

namespace quillon {

class DecoderFrames {
 public:
  static DecoderFrames& instance();

  // `frame` now holds a picture of `channel`.
  void filled(kymeFramePy& frame, uint32_t channel);
  // The picture in `frame` was released.
  void released(kymeFramePy& frame);
  // Every frame of `channel`.
  void channel_gone(uint32_t channel);
  // Every frame of every channel.
  void all_gone();

 private:
  static void take_back(kymeFramePy& frame);
  std::unordered_map<PyObject*, std::pair<pybind11::weakref, uint32_t>> frames_;
  std::size_t prune_at_ = 64;
};

}  // namespace quillon
