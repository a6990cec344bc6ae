// The die's own layer for convolutions of 1 x 1 over a few input channels (a
// picture's colour channels, typically): OpenCV's convolution spends most of
// its time on its setup there, this layer one vectorised pass per output
// channel, with the same values to the bit.
#pragma once

namespace onnx {
class ModelProto;
}

namespace kycl {

// The type it is registered under with OpenCV's layer factory, a name of its
// own so that no other network of the process gets it.
constexpr const char* kPointwiseConvLayerType = "KyclPointwiseConv";

// Input channels at most for a convolution to be given to the layer.
constexpr int kPointwiseMaxInputChannels = 4;

// Registers the layer with OpenCV once per process.
void register_pointwise_conv_layer();

// Gives the layer the model's Conv nodes it computes as OpenCV does: a 1 x 1
// kernel over at most kPointwiseMaxInputChannels channels, stride and
// dilation 1, no padding, one group, weights and bias stored in the file,
// and no consumer OpenCV would fold into the convolution's weights; whether
// any was given.
bool route_pointwise_conv_nodes(onnx::ModelProto* model);

}  // namespace kycl
