// The built-in model scores each of 112 x 112 positions for 9 classes, takes
// the softmax over the classes and averages each class over the picture: as
// three layers, the 450 KB of scores were written, read and written again by
// the softmax, and read once more by the pooling, and in the main job they
// come from memory, the decoder having swept the caches since the last
// picture. Here a tile of positions is scored, its softmax taken and its
// values added to the classes' sums while it is in the first-level cache.
// Every value is computed as the die's three layers compute it (and so as
// OpenCV does): the same tile kernels, the exponential over runs OpenCV's
// single call would also take with vector code, and each class's sum in the
// order of the positions from 0.f. Where the runs could differ (a plane whose
// size is not a multiple of kExpRun) the scores are stored whole and the
// three steps taken one after another.
#include "class_shares_layer.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "conv_blobs.h"
#include "conv_routing.h"
#include "global_average_pool_layer.h"
#include "node_chains.h"
#include "own_layer.h"
#include "pointwise_tile.h"
#include "softmax_layer.h"
#include "softmax_tiles.h"

namespace kycl {
namespace {

// The scores of a tile of positions for every class: `scores` holds
// conv.outputs rows of kSoftmaxTile values.
__attribute__((target_clones("avx512f", "avx2", "default"))) void class_shares(const float* __restrict in,
                                                                               const ConvBlobs& conv, std::size_t area,
                                                                               float* __restrict scores,
                                                                               float* __restrict sums) {
  const SoftmaxExtent tile{1, conv.outputs, kSoftmaxTile};
  for (std::size_t first = 0; first < area; first += kSoftmaxTile) {
    const std::size_t n = std::min(kSoftmaxTile, area - first);
    output_planes_tile(in, conv, area, first, n, scores, kSoftmaxTile);
    shift_tile(scores, scores, tile, 0, n, true);
    normalise_tile(scores, tile, 0, n);
    accumulate_planes(scores, conv.outputs, kSoftmaxTile, n, sums);
  }
}

// The three layers one after another, over stored scores.
void class_shares_stored(const float* in, const ConvBlobs& conv, std::size_t area, float* scores, float* sums) {
  output_planes_tile(in, conv, area, 0, area, scores, area);
  softmax(scores, scores, SoftmaxExtent{1, conv.outputs, area});
  accumulate_planes(scores, conv.outputs, area, area, sums);
}

class ClassSharesLayer final : public OwnLayer {
 public:
  explicit ClassSharesLayer(const cv::dnn::LayerParams& params) : OwnLayer(params), conv_(conv_blobs(blobs, 1)) {}

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) { return cv::makePtr<ClassSharesLayer>(params); }

 private:
  // (N, C, H, W) gives (N, classes, 1, 1), the pooling's shape.
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    CV_Assert(input.size() == 4 && input[1] == static_cast<int>(conv_.inputs));
    return {input[0], static_cast<int>(conv_.outputs), 1, 1};
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims == 4 && src.size[1] == static_cast<int>(conv_.inputs));
    const std::size_t batch = static_cast<std::size_t>(src.size[0]);
    const std::size_t area = src.total(2);
    CV_Assert(dst.total() == batch * conv_.outputs);
    const bool tiled = area % kExpRun == 0;
    scores_.resize(conv_.outputs * (tiled ? kSoftmaxTile : area));
    const float scale = 1.f / static_cast<float>(area);
    float* out = dst.ptr<float>();
    std::fill(out, out + dst.total(), 0.f);
    for (std::size_t sample = 0; sample < batch; ++sample) {
      const float* in = src.ptr<float>() + sample * conv_.inputs * area;
      float* sums = out + sample * conv_.outputs;
      if (tiled) {
        class_shares(in, conv_, area, scores_.data(), sums);
      } else {
        class_shares_stored(in, conv_, area, scores_.data(), sums);
      }
      for (std::size_t o = 0; o < conv_.outputs; ++o) sums[o] *= scale;
    }
  }

  ConvBlobs conv_;
  std::vector<float> scores_;  // a model's runs take turns (Model::lock)
};

// A softmax the layer computes: over axis 1, as the die's softmax layer was
// given it (the axis ONNX gives the node, or none: OpenCV's 1).
bool over_axis_one(const onnx::NodeProto& softmax) {
  for (const auto& attribute : softmax.attribute()) {
    if (attribute.name() != "axis" || attribute.type() != onnx::AttributeProto::INT || attribute.i() != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool route_class_shares(onnx::ModelProto* model) {
  onnx::GraphProto* graph = model->mutable_graph();
  NodeChains chains(graph);
  for (int i = 0; i < graph->node_size(); ++i) {
    onnx::NodeProto* convolution = graph->mutable_node(i);
    if (convolution->op_type() != kPointwiseConvLayerType || convolution->output_size() != 1) continue;
    const onnx::NodeProto* softmax = chains.only_reader(i, convolution->output(0), kSoftmaxLayerType);
    if (softmax == nullptr || !over_axis_one(*softmax)) continue;
    const onnx::NodeProto* pooling = chains.only_reader(i, softmax->output(0), kGlobalAveragePoolLayerType);
    if (pooling == nullptr) continue;
    chains.take_over(convolution, {softmax, pooling}, kClassSharesLayerType);
  }
  if (!chains.finish()) return false;
  register_layer_once<ClassSharesLayer>(kClassSharesLayerType);
  return true;
}

}  // namespace kycl
