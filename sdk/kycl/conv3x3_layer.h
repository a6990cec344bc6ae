// The die's own layer for 3 x 3 convolutions over a few input channels (a
// grey or colour picture's edges, typically), with the same values to the
// bit as OpenCV's convolution. conv_routing.h says which nodes it takes.
#pragma once

namespace kycl {

// Registers the layer with OpenCV once per process.
void register_conv3x3_layer();

}  // namespace kycl
