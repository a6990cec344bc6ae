// The die's own global average pooling: OpenCV's layer sums each channel
// one value at a time, one channel after another; this one sums up to
// twelve channels side by side, each in OpenCV's order, with the same values
// to the bit.
#pragma once

#include <cstddef>

namespace onnx {
class ModelProto;
}

namespace kycl {

// The type it is registered under with OpenCV's layer factory, a name of its
// own so that no other network of the process gets it.
constexpr const char* kGlobalAveragePoolLayerType = "KyclGlobalAveragePool";

// Gives the model's GlobalAveragePool nodes to the layer, and registers the
// layer with OpenCV's layer factory (once a process) when any was given;
// whether any was.
bool route_global_average_pool_nodes(onnx::ModelProto* model);

// Adds the first `count` values of each of `planes` planes (`stride` values
// apart) to `sums` (one a plane), in the order of the values, as OpenCV's
// pooling sums them: a pooling's sum, also when its values come a piece at
// a time. Its average is the sum times the float reciprocal of the count.
void accumulate_planes(const float* in, std::size_t planes, std::size_t stride, std::size_t count, float* sums);

}  // namespace kycl
