// The die's own layer for 3 x 3 convolutions over a few input channels (a
// grey or colour picture's edges, typically), with the same values to the
// bit as OpenCV's convolution. conv_routing.h says which nodes it takes.
#pragma once

#include <opencv2/dnn/shape_utils.hpp>

#include "conv_blobs.h"

namespace kycl {

// Registers the layer with OpenCV once per process.
void register_conv3x3_layer();

// The output shape of a 3 x 3 convolution of `conv`'s with `padding` (0 or
// 1) over an input of `input`'s (N x conv.inputs x H x W).
cv::dnn::MatShape conv3x3_output_shape(const cv::dnn::MatShape& input, const ConvBlobs& conv, int padding);

}  // namespace kycl
