// A model's per-pixel class shares in one layer: a 1 x 1 convolution that
// scores each position for each class, a softmax over the classes and a
// global average pooling of the result, computed a tile of positions at a
// time without the score planes ever being stored, with the same values to
// the bit as the three layers give.
#pragma once

namespace onnx {
class ModelProto;
}

namespace kycl {

// The type it is registered under with OpenCV's layer factory.
constexpr const char* kClassSharesLayerType = "KyclClassShares";

// Gives the layer each chain of the die's 1 x 1 convolution, softmax over
// axis 1 and global average pooling in which each of the first two outputs
// is read by the next node alone and is not an output of the model (run
// after the routings of those three nodes); registers the layer when any
// chain was given, and says whether any was.
bool route_class_shares(onnx::ModelProto* model);

}  // namespace kycl
