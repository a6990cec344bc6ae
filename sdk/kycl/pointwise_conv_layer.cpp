// A 1 x 1 convolution over three channels of a 112 x 112 picture took
// OpenCV's layer 136 us, for 340 thousand multiply-adds. This layer computes
// each output value the way OpenCV's does, which is what makes the results
// the same to the bit: from 0.f, the products of the input channels added in
// their order, each product rounded before it is added (no fused
// multiply-add: this file is compiled without contraction), the bias added
// last. Each output plane is one pass per input channel over a tile of
// positions that stays in the first-level cache.
#include "pointwise_conv_layer.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/layer.details.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kycl {
namespace {

// Positions of an output plane taken at once.
constexpr std::size_t kTile = 1024;

// Below this many output values a request stays on the calling thread.
constexpr std::size_t kParallelFrom = std::size_t{1} << 20;

// Built for the widest vectors the processor has.
__attribute__((target_clones("avx512f", "avx2", "default"))) void output_plane(const float* __restrict in,
                                                                               std::size_t channels, std::size_t area,
                                                                               const float* __restrict weights,
                                                                               float bias, float* __restrict out) {
  for (std::size_t first = 0; first < area; first += kTile) {
    const std::size_t n = std::min(kTile, area - first);
    float* tile = out + first;
    const float* x = in + first;
    const float w0 = weights[0];
    for (std::size_t i = 0; i < n; ++i) tile[i] = 0.f + w0 * x[i];
    for (std::size_t c = 1; c < channels; ++c) {
      const float w = weights[c];
      const float* xc = x + c * area;
      for (std::size_t i = 0; i < n; ++i) tile[i] = tile[i] + w * xc[i];
    }
    for (std::size_t i = 0; i < n; ++i) tile[i] = tile[i] + bias;
  }
}

class PointwiseConvLayer final : public cv::dnn::Layer {
 public:
  explicit PointwiseConvLayer(const cv::dnn::LayerParams& params) {
    setParamsFrom(params);
    // The importer hands over the initializers the node names: the weights,
    // then the bias when there is one.
    CV_Assert(!blobs.empty() && blobs.size() <= 2);
    const cv::Mat& weights = blobs[0];
    CV_Assert(weights.type() == CV_32F && weights.dims == 4 && weights.size[2] == 1 && weights.size[3] == 1);
    outputs_ = weights.size[0];
    inputs_ = weights.size[1];
    CV_Assert(blobs.size() == 1 || (blobs[1].type() == CV_32F && blobs[1].total() == outputs_));
  }

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) {
    return cv::makePtr<PointwiseConvLayer>(params);
  }

  bool supportBackend(int backend) override { return backend == cv::dnn::DNN_BACKEND_OPENCV; }

  bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, const int /*required_outputs*/,
                       std::vector<cv::dnn::MatShape>& outputs,
                       std::vector<cv::dnn::MatShape>& /*internals*/) const override {
    CV_Assert(inputs.size() == 1 && inputs[0].size() == 4 && inputs[0][1] == static_cast<int>(inputs_));
    cv::dnn::MatShape shape = inputs[0];
    shape[1] = static_cast<int>(outputs_);
    outputs.assign(1, shape);
    return false;
  }

  void forward(cv::InputArrayOfArrays inputs_arr, cv::OutputArrayOfArrays outputs_arr,
               cv::OutputArrayOfArrays /*internals*/) override {
    std::vector<cv::Mat> inputs;
    std::vector<cv::Mat> outputs;
    inputs_arr.getMatVector(inputs);
    outputs_arr.getMatVector(outputs);
    const cv::Mat& src = inputs[0];
    cv::Mat& dst = outputs[0];
    CV_Assert(src.type() == CV_32F && dst.type() == CV_32F && src.isContinuous() && dst.isContinuous());
    CV_Assert(src.dims == 4 && dst.dims == 4 && src.size[1] == static_cast<int>(inputs_));
    const std::size_t batch = static_cast<std::size_t>(src.size[0]);
    const std::size_t area = src.total(2);
    CV_Assert(dst.total() == batch * outputs_ * area);
    const float* weights = blobs[0].ptr<float>();
    const float* bias = blobs.size() > 1 ? blobs[1].ptr<float>() : nullptr;
    const float* in = src.ptr<float>();
    float* out = dst.ptr<float>();
    // One plane of one sample a piece of work.
    const auto planes = [&](const cv::Range& range) {
      for (int p = range.start; p < range.end; ++p) {
        const std::size_t sample = static_cast<std::size_t>(p) / outputs_;
        const std::size_t o = static_cast<std::size_t>(p) % outputs_;
        output_plane(in + sample * inputs_ * area, inputs_, area, weights + o * inputs_,
                     bias != nullptr ? bias[o] : 0.f, out + (sample * outputs_ + o) * area);
      }
    };
    const cv::Range all(0, static_cast<int>(batch * outputs_));
    if (dst.total() < kParallelFrom) {
      planes(all);
    } else {
      cv::parallel_for_(all, planes);
    }
  }

 private:
  std::size_t inputs_ = 0;
  std::size_t outputs_ = 0;
};

bool is_default_onnx(const onnx::NodeProto& node) { return node.domain().empty() || node.domain() == "ai.onnx"; }

bool all_equal(const onnx::AttributeProto& attribute, int64_t value) {
  return std::all_of(attribute.ints().begin(), attribute.ints().end(), [&](int64_t v) { return v == value; });
}

// Whether the node's attributes say: a 1 x 1 kernel, stride and dilation 1,
// no padding, one group. An attribute not known here keeps the node OpenCV's.
bool plain_pointwise(const onnx::NodeProto& node) {
  for (const auto& attribute : node.attribute()) {
    const std::string& name = attribute.name();
    if (name == "kernel_shape" || name == "strides" || name == "dilations") {
      if (attribute.ints_size() != 2 || !all_equal(attribute, 1)) return false;
    } else if (name == "pads") {
      if (attribute.ints_size() != 4 || !all_equal(attribute, 0)) return false;
    } else if (name == "group") {
      if (attribute.i() != 1) return false;
    } else if (name == "auto_pad") {
      if (attribute.s() != "NOTSET" && attribute.s() != "VALID") return false;
    } else {
      return false;
    }
  }
  return true;
}

// OpenCV folds these into a convolution before them (into its weights and
// bias), which changes the convolution's values in the last bits.
bool folded_into_convolution(const std::string& op_type) {
  static const std::unordered_set<std::string> folded = {"BatchNormalization", "Mul", "Add", "Sub", "Div", "Sum"};
  return folded.count(op_type) != 0;
}

}  // namespace

void register_pointwise_conv_layer() {
  static std::once_flag once;
  std::call_once(once,
                 [] { cv::dnn::LayerFactory::registerLayer(kPointwiseConvLayerType, PointwiseConvLayer::create); });
}

bool route_pointwise_conv_nodes(onnx::ModelProto* model) {
  auto* graph = model->mutable_graph();
  std::unordered_map<std::string, const onnx::TensorProto*> stored;
  for (const auto& initializer : graph->initializer()) stored[initializer.name()] = &initializer;
  std::unordered_set<std::string> feeding_folds;  // values a folding node consumes
  for (const auto& node : graph->node()) {
    if (!folded_into_convolution(node.op_type())) continue;
    for (const auto& input : node.input()) feeding_folds.insert(input);
  }
  const auto stored_float = [&](const std::string& name) -> const onnx::TensorProto* {
    const auto found = stored.find(name);
    if (found == stored.end() || found->second->data_type() != onnx::TensorProto::FLOAT) return nullptr;
    return found->second;
  };
  bool routed = false;
  for (auto& node : *graph->mutable_node()) {
    if (node.op_type() != "Conv" || !is_default_onnx(node) || node.output_size() != 1) continue;
    if (node.input_size() < 2 || node.input_size() > 3 || !plain_pointwise(node)) continue;
    if (feeding_folds.count(node.output(0)) != 0) continue;
    const onnx::TensorProto* weights = stored_float(node.input(1));
    if (weights == nullptr || weights->dims_size() != 4 || weights->dims(2) != 1 || weights->dims(3) != 1) continue;
    if (weights->dims(0) < 1 || weights->dims(1) < 1 || weights->dims(1) > kPointwiseMaxInputChannels) continue;
    if (node.input_size() == 3 && !node.input(2).empty()) {
      const onnx::TensorProto* bias = stored_float(node.input(2));
      if (bias == nullptr || bias->dims_size() != 1 || bias->dims(0) != weights->dims(0)) continue;
    }
    // An absent bias may be named as empty; the importer would look it up.
    if (node.input_size() == 3 && node.input(2).empty()) node.mutable_input()->RemoveLast();
    node.set_op_type(kPointwiseConvLayerType);
    node.clear_domain();
    node.clear_attribute();
    routed = true;
  }
  return routed;
}

}  // namespace kycl
