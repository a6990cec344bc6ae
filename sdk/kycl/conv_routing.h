// Which Conv nodes of a model the die's own convolution layers take: the
// ones whose values those layers give exactly as OpenCV's convolution does.
#pragma once

namespace onnx {
class ModelProto;
}

namespace kycl {

// The types the layers are registered under with OpenCV's layer factory,
// names of their own so that no other network of the process gets them.
constexpr const char* kPointwiseConvLayerType = "KyclPointwiseConv";
constexpr const char* kConv3x3LayerType = "KyclConv3x3";
// The padding (0 or 1 on every side) a 3 x 3 node is given to its layer with.
constexpr const char* kConv3x3PaddingParameter = "kycl_padding";

// Input channels at most for each layer: from 4 on, OpenCV sums a 1 x 1
// convolution's products in another order.
constexpr int kPointwiseMaxInputChannels = 3;
constexpr int kConv3x3MaxInputChannels = 3;

// Gives the layers the Conv nodes they take, and registers the layers that
// got any; whether any node was given. A node is taken when its stride and
// dilation are 1, it has one group, its weights (and bias, if any) are
// stored in the file, no consumer of it is one OpenCV would fold into its
// weights, and either its kernel is 1 x 1 without padding over at most
// kPointwiseMaxInputChannels channels, or 3 x 3 with a padding of 0 or 1
// over at most kConv3x3MaxInputChannels.
bool route_convolution_nodes(onnx::ModelProto* model);

}  // namespace kycl
