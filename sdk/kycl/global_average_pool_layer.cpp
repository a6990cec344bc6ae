// OpenCV's layer averages a channel as the sum of its values in their order,
// from 0.f, times the reciprocal of their count rounded to a float. A single
// running sum waits on each addition before the next: 113 thousand values
// took it 76 us. Up to twelve channels' sums advance together here, each
// still in that order, so the results are the same to the bit.
#include "global_average_pool_layer.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <opencv2/dnn.hpp>
#include <utility>
#include <vector>

#include "own_layer.h"

namespace kycl {
namespace {

// Channels summed side by side: each sum in a register of its own (this file
// is compiled without vectorisation, which would gather the values of a
// position into one vector at a cost above the additions').
constexpr std::size_t kSideBySide = 12;

// Each addition waits for the last one of its channel, so the pass takes
// about one addition's latency a position, however many channels share it.
template <std::size_t kChannels>
void average_block(const float* __restrict in, std::size_t area, float scale, float* __restrict out) {
  float sums[kChannels] = {};
  for (std::size_t i = 0; i < area; ++i) {
#pragma GCC unroll 16
    for (std::size_t c = 0; c < kChannels; ++c) sums[c] += in[c * area + i];
  }
  for (std::size_t c = 0; c < kChannels; ++c) out[c] = sums[c] * scale;
}

template <std::size_t... kCounts>
void average_planes(const float* in, std::size_t channels, std::size_t area, float scale, float* out,
                    std::index_sequence<kCounts...> /*counts*/) {
  using Block = void (*)(const float*, std::size_t, float, float*);
  static constexpr Block blocks[] = {average_block<kCounts + 1>...};
  blocks[channels - 1](in, area, scale, out);
}

// The averages of `channels` (1 to kSideBySide) planes of `area` values.
void average_planes(const float* in, std::size_t channels, std::size_t area, float scale, float* out) {
  average_planes(in, channels, area, scale, out, std::make_index_sequence<kSideBySide>());
}

class GlobalAveragePoolLayer final : public OwnLayer {
 public:
  using OwnLayer::OwnLayer;

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) {
    return cv::makePtr<GlobalAveragePoolLayer>(params);
  }

 private:
  // (N, C, D1, ..., Dn) gives (N, C, 1, ..., 1).
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    CV_Assert(input.size() >= 2);
    cv::dnn::MatShape shape = input;
    std::fill(shape.begin() + 2, shape.end(), 1);
    return shape;
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims >= 2);
    const std::size_t planes = src.total(0, 2);
    const std::size_t area = src.total(2);
    CV_Assert(dst.total() == planes);
    const float scale = 1.f / static_cast<float>(area);
    const float* in = src.ptr<float>();
    float* out = dst.ptr<float>();
    // Planes shared evenly among the fewest blocks.
    const std::size_t count = (planes + kSideBySide - 1) / kSideBySide;
    for (std::size_t block = 0, first = 0; block < count; ++block) {
      const std::size_t size = (planes - first) / (count - block);
      average_planes(in + first * area, size, area, scale, out + first);
      first += size;
    }
  }
};

}  // namespace

bool route_global_average_pool_nodes(onnx::ModelProto* model) {
  bool routed = false;
  for (auto& node : *model->mutable_graph()->mutable_node()) {
    if (node.op_type() != "GlobalAveragePool" || !(node.domain().empty() || node.domain() == "ai.onnx")) continue;
    if (node.input_size() != 1 || node.output_size() != 1 || node.attribute_size() != 0) continue;
    node.set_op_type(kGlobalAveragePoolLayerType);
    node.clear_domain();
    routed = true;
  }
  if (routed) register_layer_once<GlobalAveragePoolLayer>(kGlobalAveragePoolLayerType);
  return routed;
}

}  // namespace kycl
