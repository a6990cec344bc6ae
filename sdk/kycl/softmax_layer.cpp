// OpenCV's Softmax layer makes six passes over its tensor, each a scalar
// loop: the maximum over the axis, the difference from it, the exponential,
// the sum, the quotient. A model that gives each pixel to one of a few
// classes spends a third of its time there. This layer takes the tensor a
// tile of positions at a time, every step on the tile while it is in the
// cache, and computes each value exactly as OpenCV does: the maximum with
// std::max, the exponential with OpenCV's own routine over the same runs of
// values (see exp_in_place), the sum in the order of the axis from 0.f, and a
// true division. A model gives the same outputs with it as without.
#include "softmax_layer.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <opencv2/core/hal/hal.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/shape_utils.hpp>
#include <vector>

#include "own_layer.h"

namespace kycl {
namespace {

// Positions of the inner axes taken at once: the tile's values on every
// channel of a small softmax stay in the first-level cache.
constexpr std::size_t kTile = 256;

// The tile kernels are compiled into each build of softmax below.
#define KYCL_TILE_KERNEL inline __attribute__((always_inline))

// OpenCV's exponential works on runs of 2 x its vector width (at most 16
// floats: its widest build is AVX2's) and on the last values of a run that
// ends short of one with scalar code, whose results may differ in the last
// bit. OpenCV's layer calls it once over the whole tensor, in place; a run
// whose length is a multiple of kExpRun and whose end is not the tensor's
// gets no scalar tail, so runs of such lengths, the last one ending where the
// tensor ends, treat every value as the single call does.
constexpr std::size_t kExpRun = 64;

void exp_in_place(float* values, std::size_t count) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;  // a multiple of kExpRun that fits an int
  while (count > 0) {
    const std::size_t n = std::min(count, kChunk);
    cv::hal::exp32f(values, values, static_cast<int>(n));
    values += n;
    count -= n;
  }
}

// The running maximum as OpenCV's loop writes it, std::max(best, value):
// a NaN already taken stays, a NaN met later is passed over.
KYCL_TILE_KERNEL void take_max(float* best, const float* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) best[i] = std::max(best[i], values[i]);
}

struct Extent {
  std::size_t outer;     // products of the axes before the softmax's axis
  std::size_t channels;  // the softmax's axis
  std::size_t inner;     // products of the axes after it
};

// Maximum, difference and (when `with_exp`) the exponential for positions
// [first, first + n) of one outer index.
KYCL_TILE_KERNEL void shift_tile(const float* src, float* dst, const Extent& e, std::size_t first, std::size_t n,
                                 bool with_exp) {
  float best[kTile];
  std::memcpy(best, src + first, n * sizeof(float));
  for (std::size_t c = 1; c < e.channels; ++c) take_max(best, src + c * e.inner + first, n);
  for (std::size_t c = 0; c < e.channels; ++c) {
    const float* in = src + c * e.inner + first;
    float* out = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] - best[i];
    if (with_exp) exp_in_place(out, n);
  }
}

KYCL_TILE_KERNEL void normalise_tile(float* dst, const Extent& e, std::size_t first, std::size_t n) {
  float sum[kTile];
  std::fill(sum, sum + n, 0.f);
  for (std::size_t c = 0; c < e.channels; ++c) {
    const float* values = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) sum[i] += values[i];
  }
  for (std::size_t c = 0; c < e.channels; ++c) {
    float* values = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) values[i] /= sum[i];
  }
}

// Built for the widest vectors the processor has: the division dominates.
__attribute__((target_clones("avx512f", "avx2", "default"))) void softmax(const float* src, float* dst,
                                                                          const Extent& e) {
  // Whole tiles of kExpRun multiples: every exponential run is one the single
  // call would also have taken with vector code, so it goes with the tile.
  const bool fused = e.inner % kExpRun == 0;
  const std::size_t step = e.channels * e.inner;
  for (std::size_t o = 0; o < e.outer; ++o) {
    for (std::size_t first = 0; first < e.inner; first += kTile) {
      const std::size_t n = std::min(kTile, e.inner - first);
      shift_tile(src + o * step, dst + o * step, e, first, n, fused);
      if (fused) normalise_tile(dst + o * step, e, first, n);
    }
  }
  if (fused) return;
  exp_in_place(dst, e.outer * step);
  for (std::size_t o = 0; o < e.outer; ++o) {
    for (std::size_t first = 0; first < e.inner; first += kTile) {
      normalise_tile(dst + o * step, e, first, std::min(kTile, e.inner - first));
    }
  }
}

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
    const Extent extent{src.total(0, axis), static_cast<std::size_t>(src.size[axis]), src.total(axis + 1)};
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
