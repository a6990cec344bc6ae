// A picture's edge energy in one layer: a 3 x 3 convolution of the die's,
// the absolute values of its output and their mean over each sample,
// without the output planes ever being stored, with the same values to the
// bit as the three layers give.
#pragma once

namespace onnx {
class ModelProto;
}

namespace kycl {

// The type it is registered under with OpenCV's layer factory, and whether
// its output keeps the reduced axes (as 1s) or drops them.
constexpr const char* kConv3x3AbsMeanLayerType = "KyclConv3x3AbsMean";
constexpr const char* kConv3x3AbsMeanKeepDimsParameter = "kycl_keepdims";

// Gives the layer each chain of the die's 3 x 3 convolution, `Abs` and a
// `ReduceMean` over every axis but the first (axes 1, 2 and 3 given as an
// attribute) in which each of the first two outputs is read by the next
// node alone and is not an output of the model (run after the routing of
// convolutions); registers the layer when any chain was given, and says
// whether any was.
bool route_conv3x3_abs_mean(onnx::ModelProto* model);

}  // namespace kycl
