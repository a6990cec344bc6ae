// The die's own softmax: OpenCV's Softmax layer computed in one pass over
// the tensor instead of six, with the same values to the bit.
#pragma once

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

}  // namespace kycl
