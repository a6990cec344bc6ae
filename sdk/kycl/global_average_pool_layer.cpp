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
void accumulate_block(const float* __restrict in, std::size_t stride, std::size_t count, float* __restrict sums) {
  float running[kChannels];
  for (std::size_t c = 0; c < kChannels; ++c) running[c] = sums[c];
  for (std::size_t i = 0; i < count; ++i) {
#pragma GCC unroll 16
    for (std::size_t c = 0; c < kChannels; ++c) running[c] += in[c * stride + i];
  }
  for (std::size_t c = 0; c < kChannels; ++c) sums[c] = running[c];
}

template <std::size_t... kCounts>
void accumulate_together(const float* in, std::size_t channels, std::size_t stride, std::size_t count, float* sums,
                         std::index_sequence<kCounts...> /*counts*/) {
  using Block = void (*)(const float*, std::size_t, std::size_t, float*);
  static constexpr Block blocks[] = {accumulate_block<kCounts + 1>...};
  blocks[channels - 1](in, stride, count, sums);
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
    float* out = dst.ptr<float>();
    std::fill(out, out + planes, 0.f);
    accumulate_planes(src.ptr<float>(), planes, area, area, out);
    const float scale = 1.f / static_cast<float>(area);
    for (std::size_t plane = 0; plane < planes; ++plane) out[plane] *= scale;
  }
};

}  // namespace

void accumulate_planes(const float* in, std::size_t planes, std::size_t stride, std::size_t count, float* sums) {
  // Planes shared evenly among the fewest blocks.
  const std::size_t blocks = (planes + kSideBySide - 1) / kSideBySide;
  for (std::size_t block = 0, first = 0; block < blocks; ++block) {
    const std::size_t size = (planes - first) / (blocks - block);
    accumulate_together(in + first * stride, size, stride, count, sums + first,
                        std::make_index_sequence<kSideBySide>());
    first += size;
  }
}

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
