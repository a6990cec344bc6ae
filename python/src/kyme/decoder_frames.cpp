// Weak tracking of decoded frames by channel.
#include "kyme/decoder_frames.h"

#include <algorithm>
#include <iterator>

namespace py = pybind11;

namespace quillon {

DecoderFrames& DecoderFrames::instance() {
  static auto* frames = new DecoderFrames();  // used under the interpreter lock only; never destroyed
  return *frames;
}

void DecoderFrames::take_back(kymeFramePy& frame) {
  // Only a host picture can be read through a view; a device one is refused
  // by the view already and stays as the library described it.
  if (frame.memoryType != KYME_MEM_HOST) return;
  for (auto& address : frame.data) address = nullptr;
  for (auto& address : frame.kymeFrame::data) address = nullptr;
}

void DecoderFrames::filled(kymeFramePy& frame, uint32_t channel) {
  py::object object = python_object_of(frame);
  if (frames_.size() >= prune_at_) {
    for (auto it = frames_.begin(); it != frames_.end();) {
      it = it->second.first().is_none() ? frames_.erase(it) : std::next(it);
    }
    prune_at_ = std::max<std::size_t>(64, 2 * frames_.size());
  }
  frames_.insert_or_assign(object.ptr(), std::make_pair(py::weakref(object), channel));
}

void DecoderFrames::released(kymeFramePy& frame) {
  take_back(frame);
  frames_.erase(python_object_of(frame).ptr());
}

void DecoderFrames::channel_gone(uint32_t channel) {
  for (auto it = frames_.begin(); it != frames_.end();) {
    if (it->second.second != channel) {
      ++it;
      continue;
    }
    py::object object = it->second.first();
    if (!object.is_none()) take_back(object.cast<kymeFramePy&>());
    it = frames_.erase(it);
  }
}

void DecoderFrames::all_gone() {
  for (auto& [address, entry] : frames_) {
    py::object object = entry.first();
    if (!object.is_none()) take_back(object.cast<kymeFramePy&>());
  }
  frames_.clear();
}

}  // namespace quillon
