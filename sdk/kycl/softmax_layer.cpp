// OpenCV's Softmax layer makes six passes over its tensor, each a scalar
// loop: the maximum over the axis, the difference from it, the exponential,
// the sum, the quotient. A model that gives each pixel to one of a few
// classes spends a third of its time there. This layer takes the tensor a
// tile of positions at a time, every step on the tile while it is in the
// cache, and computes each value exactly as OpenCV does: the maximum with
// std::max, the exponential with OpenCV's own routine over the same runs of
// values (or its computation 16 values at a time, on AVX-512: see exp_run in
// softmax_tiles.h), the sum in the order of the axis from 0.f, and a true
// division. A model gives the same outputs with it as without.
#include "softmax_layer.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/shape_utils.hpp>
#include <vector>

#include "own_layer.h"
#include "softmax_tiles.h"

namespace kycl {

// Built for the widest vectors the processor has: the division dominates.
__attribute__((target_clones("avx512f", "avx2", "default"))) void softmax(const float* src, float* dst,
                                                                          const SoftmaxExtent& e) {
  // Whole tiles of kExpRun multiples: every exponential run is one the single
  // call would also have taken with vector code, so it goes with the tile.
  const bool fused = e.inner % kExpRun == 0;
  const std::size_t step = e.channels * e.inner;
  for (std::size_t o = 0; o < e.outer; ++o) {
    for (std::size_t first = 0; first < e.inner; first += kSoftmaxTile) {
      const std::size_t n = std::min(kSoftmaxTile, e.inner - first);
      shift_tile(src + o * step, dst + o * step, e, first, n, fused);
      if (fused) normalise_tile(dst + o * step, e, first, n);
    }
  }
  if (fused) return;
  exp_in_place(dst, e.outer * step);
  for (std::size_t o = 0; o < e.outer; ++o) {
    for (std::size_t first = 0; first < e.inner; first += kSoftmaxTile) {
      normalise_tile(dst + o * step, e, first, std::min(kSoftmaxTile, e.inner - first));
    }
  }
}

namespace {

class SoftmaxLayer final : public OwnLayer {
 public:
  explicit SoftmaxLayer(const cv::dnn::LayerParams& params) : OwnLayer(params), axis_(params.get<int>("axis", 1)) {}

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) { return cv::makePtr<SoftmaxLayer>(params); }

 private:
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    cv::dnn::normalize_axis(axis_, static_cast<int>(input.size()));  // refuses an axis the input lacks
    return input;
  }

  // Each tile reads every channel of its positions before it writes any.
  bool in_place() const override { return true; }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.total() == dst.total());
    const int axis = cv::dnn::normalize_axis(axis_, src.dims);
    const SoftmaxExtent extent{src.total(0, axis), static_cast<std::size_t>(src.size[axis]), src.total(axis + 1)};
    if (src.total() == 0) return;
    softmax(src.ptr<float>(), dst.ptr<float>(), extent);
  }

  int axis_;
};

}  // namespace

bool route_softmax_nodes(onnx::ModelProto* model) {
  int64_t opset = 1;
  for (const auto& entry : model->opset_import()) {
    if (entry.domain().empty() || entry.domain() == "ai.onnx") opset = std::max(opset, entry.version());
  }
  bool routed = false;
  for (auto& node : *model->mutable_graph()->mutable_node()) {
    // OpenCV's importer makes its Softmax layer from this node and its
    // attributes alone; the die's layer is made by the same path.
    if (node.op_type() != "Softmax" || !(node.domain().empty() || node.domain() == "ai.onnx")) continue;
    node.set_op_type(kSoftmaxLayerType);
    node.clear_domain();
    // From opset 13 a Softmax without an axis works on the last one; OpenCV
    // would take axis 1 for it.
    const bool has_axis = std::any_of(node.attribute().begin(), node.attribute().end(),
                                      [](const onnx::AttributeProto& attribute) { return attribute.name() == "axis"; });
    if (opset >= 13 && !has_axis) {
      auto* axis = node.add_attribute();
      axis->set_name("axis");
      axis->set_type(onnx::AttributeProto::INT);
      axis->set_i(-1);
    }
    routed = true;
  }
  if (routed) register_layer_once<SoftmaxLayer>(kSoftmaxLayerType);
  return routed;
}

}  // namespace kycl
