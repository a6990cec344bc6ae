// quillon._native: the package's own native helpers, for the work Python
// would do slowly byte by byte (demuxing containers, muxing encoded streams,
// handing the encoder pictures at device addresses). It uses libavformat and
// libavcodec directly; of the card's libraries only the media engine, and the
// state the processes using the card share, for the status command.
#include <pybind11/pybind11.h>

namespace py = pybind11;

void register_demux(py::module_& m);
void register_mux(py::module_& m);
void register_encoder_input(py::module_& m);
void register_codec_log(py::module_& m);
void register_card_state(py::module_& m);

PYBIND11_MODULE(_native, m) {
  m.doc() =
      "Native helpers of the quillon package: demuxing and muxing with libavformat, pictures for the encoder, the "
      "card's shared state.";
  // Failures reach Python as exceptions with libav's reason in their
  // message; libav's own lines go to the runtime's log (codec_log.cpp).
  register_codec_log(m);
  register_demux(m);
  register_mux(m);
  register_encoder_input(m);
  register_card_state(m);
}
