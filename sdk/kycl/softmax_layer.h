// The die's own softmax: OpenCV's Softmax layer computed in one pass over
// the tensor instead of six, with the same values to the bit.
#pragma once

#include <cstddef>

namespace onnx {
class ModelProto;
}

namespace kycl {

// The layer type the die's softmax is registered under with OpenCV's layer
// factory. A name of its own, so that no other network of the process (cv2's
// included) gets it in place of OpenCV's.
constexpr const char* kSoftmaxLayerType = "KyclSoftmax";

// Gives the model's Softmax nodes to the die's layer, each with the axis
// ONNX gives it, and registers the layer with OpenCV's layer factory (once a
// process) when any was given; whether any was.
bool route_softmax_nodes(onnx::ModelProto* model);

struct SoftmaxExtent {
  std::size_t outer;     // products of the axes before the softmax's axis
  std::size_t channels;  // the softmax's axis
  std::size_t inner;     // products of the axes after it
};

// OpenCV's softmax of a tensor of `extent` over its middle axis, the same to
// the bit; `dst` may be `src`.
void softmax(const float* src, float* dst, const SoftmaxExtent& extent);

}  // namespace kycl
