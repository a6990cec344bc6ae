// The registration routine of every area. The module entry creates the five
// submodules and calls these in a fixed order; each routine fills only the
// submodule it is given and never registers another area's types.
#pragma once

#include <pybind11/pybind11.h>

namespace quillon {

// kycm
void register_data_types(pybind11::module_& kycm);
void register_data_buffers(pybind11::module_& kycm);
void register_datasets(pybind11::module_& kycm);
void register_device(pybind11::module_& kycm);
void register_memory(pybind11::module_& kycm);
void register_tensors(pybind11::module_& kycm);
void register_utilities(pybind11::module_& kycm);
void register_log(pybind11::module_& kycm);

// kyme
void register_media_types(pybind11::module_& kyme);
void register_decoder(pybind11::module_& kyme);
void register_encoder(pybind11::module_& kyme);
// Registered at the end of the decoder routine (after its functions) and of
// the encoder routine respectively.
void register_stream_readers(pybind11::module_& kyme);
void register_yuv_reader(pybind11::module_& kyme);

// kycl, in this order after the submodule's constants: the version query,
// the op-graph and stream group, graph building, the model group, loadImage.
void register_kycl_version(pybind11::module_& kycl);
void register_op_streams(pybind11::module_& kycl);
void register_graph_building(pybind11::module_& kycl);
void register_models(pybind11::module_& kycl);
void register_load_image(pybind11::module_& kycl);

// kyce: the op engine's types first, then (after the customized-op
// functions) the image ops, then the op objects.
void register_kyce_types(pybind11::module_& kyce);
void register_image_ops(pybind11::module_& kyce);
void register_op_objects(pybind11::module_& kyce);

// kyml
void register_management(pybind11::module_& kyml);
void register_device_indices(pybind11::module_& kyml);
void register_cards(pybind11::module_& kyml);
void register_dies(pybind11::module_& kyml);

}  // namespace quillon
