// The built-in model measures a picture's edges as the mean of the absolute
// values of a 3 x 3 convolution's two planes. As three layers, OpenCV's
// absolute value and mean each took another pass over the 97 KB of planes,
// its mean adding the values one after another (each sum rounded, a chain
// no vector code can shorten without changing the result) after the
// convolution had written them all. Here each output row is computed, and
// its absolute values added to the sum, while it is in the first-level
// cache, the chain of additions overlapping the next row's convolution.
// OpenCV's mean, read off its code and checked against it: the values in
// memory order added to 0.f, times the float of 1.0 / count computed in
// double.
#include "conv3x3_abs_mean_layer.h"

#include <onnx/onnx_pb.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "conv3x3_layer.h"
#include "conv3x3_rows.h"
#include "conv_blobs.h"
#include "conv_routing.h"
#include "node_chains.h"
#include "own_layer.h"

namespace kycl {
namespace {

class Conv3x3AbsMeanLayer final : public OwnLayer {
 public:
  explicit Conv3x3AbsMeanLayer(const cv::dnn::LayerParams& params)
      : OwnLayer(params),
        padding_(params.get<int>(kConv3x3PaddingParameter, 0)),
        keep_dims_(params.get<int>(kConv3x3AbsMeanKeepDimsParameter, 1) != 0),
        conv_(conv_blobs(blobs, 3)) {
    CV_Assert(padding_ == 0 || padding_ == 1);
  }

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) {
    return cv::makePtr<Conv3x3AbsMeanLayer>(params);
  }

 private:
  // (N, C, H, W) gives (N, 1, 1, 1), or (N) without the reduced axes.
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    const cv::dnn::MatShape planes = conv3x3_output_shape(input, conv_, padding_);
    return keep_dims_ ? cv::dnn::MatShape{planes[0], 1, 1, 1} : cv::dnn::MatShape{planes[0]};
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims == 4 && src.size[1] == static_cast<int>(conv_.inputs));
    const auto batch = static_cast<std::size_t>(src.size[0]);
    CV_Assert(dst.total() == batch);
    float* out = dst.ptr<float>();
    for (std::size_t sample = 0; sample < batch; ++sample) {
      input_.load(src.ptr<float>(), sample, conv_.inputs, static_cast<std::size_t>(src.size[2]),
                  static_cast<std::size_t>(src.size[3]), static_cast<std::size_t>(padding_));
      const std::size_t cols = input_.cols_out();
      row_.resize(cols);
      float sum = 0.f;
      for (std::size_t o = 0; o < conv_.outputs; ++o) {
        for (std::size_t y = 0; y < input_.rows_out(); ++y) {
          input_.output_row(conv_, o, y, row_.data());
          for (std::size_t x = 0; x < cols; ++x) sum += std::fabs(row_[x]);
        }
      }
      const double count = static_cast<double>(conv_.outputs * input_.rows_out() * cols);
      out[sample] = sum * static_cast<float>(1.0 / count);
    }
  }

  int padding_;
  bool keep_dims_;
  ConvBlobs conv_;
  Conv3x3Input input_;  // a model's runs take turns (Model::lock)
  std::vector<float> row_;
};

// Whether `mean` reduces every axis but the first of a 4-axis tensor, as an
// attribute; `keep_dims` gets its keepdims.
bool over_each_sample(const onnx::NodeProto& mean, bool* keep_dims) {
  std::set<int64_t> axes;
  *keep_dims = true;  // ONNX's default
  for (const auto& attribute : mean.attribute()) {
    if (attribute.name() == "axes" && attribute.type() == onnx::AttributeProto::INTS) {
      if (attribute.ints_size() != 3) return false;
      for (const int64_t axis : attribute.ints()) axes.insert(axis < 0 ? axis + 4 : axis);
    } else if (attribute.name() == "keepdims" && attribute.type() == onnx::AttributeProto::INT) {
      if (attribute.i() != 0 && attribute.i() != 1) return false;
      *keep_dims = attribute.i() == 1;
    } else {
      return false;
    }
  }
  return axes == std::set<int64_t>{1, 2, 3};
}

}  // namespace

bool route_conv3x3_abs_mean(onnx::ModelProto* model) {
  onnx::GraphProto* graph = model->mutable_graph();
  NodeChains chains(graph);
  for (int i = 0; i < graph->node_size(); ++i) {
    onnx::NodeProto* convolution = graph->mutable_node(i);
    if (convolution->op_type() != kConv3x3LayerType || convolution->output_size() != 1) continue;
    const onnx::NodeProto* magnitudes = chains.only_reader(i, convolution->output(0), "Abs");
    if (magnitudes == nullptr) continue;
    const onnx::NodeProto* mean = chains.only_reader(i, magnitudes->output(0), "ReduceMean");
    bool keep_dims = true;
    if (mean == nullptr || !over_each_sample(*mean, &keep_dims)) continue;
    chains.take_over(convolution, {magnitudes, mean}, kConv3x3AbsMeanLayerType);
    auto* keep = convolution->add_attribute();
    keep->set_name(kConv3x3AbsMeanKeepDimsParameter);
    keep->set_type(onnx::AttributeProto::INT);
    keep->set_i(keep_dims ? 1 : 0);
  }
  if (!chains.finish()) return false;
  register_layer_once<Conv3x3AbsMeanLayer>(kConv3x3AbsMeanLayerType);
  return true;
}

}  // namespace kycl
