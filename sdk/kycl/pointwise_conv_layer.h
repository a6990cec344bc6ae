// The die's own layer for convolutions of 1 x 1 over a few input channels (a
// picture's colour channels, typically): OpenCV's convolution spends most of
// its time on its setup there, this layer one vectorised pass per output
// channel, with the same values to the bit. conv_routing.h says which nodes
// it takes.
#pragma once

namespace kycl {

// Registers the layer with OpenCV once per process.
void register_pointwise_conv_layer();

}  // namespace kycl
