// The Conv nodes a model gives the die's own convolution layers. Each layer
// computes exactly what OpenCV's convolution computes for the nodes it is
// given and for no others: anything unusual about a node (an attribute not
// known here, weights that are not stored, a consumer OpenCV would fold
// into it) keeps it OpenCV's.
#include "conv_routing.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "conv3x3_layer.h"
#include "pointwise_conv_layer.h"

namespace kycl {
namespace {

// What a Conv node's attributes say, as far as the layers need it.
struct ConvShape {
  int64_t kernel = 0;   // 0: not given, taken from the weights
  int64_t padding = 0;  // the same on every side
};

bool all_equal(const onnx::AttributeProto& attribute, int64_t value) {
  return std::all_of(attribute.ints().begin(), attribute.ints().end(), [&](int64_t v) { return v == value; });
}

// False unless stride and dilation are 1, there is one group, the kernel is
// square and every side has the same explicit padding.
bool read_shape(const onnx::NodeProto& node, ConvShape* shape) {
  for (const auto& attribute : node.attribute()) {
    const std::string& name = attribute.name();
    if (name == "strides" || name == "dilations") {
      if (attribute.ints_size() != 2 || !all_equal(attribute, 1)) return false;
    } else if (name == "kernel_shape") {
      if (attribute.ints_size() != 2 || attribute.ints(0) != attribute.ints(1)) return false;
      shape->kernel = attribute.ints(0);
    } else if (name == "pads") {
      if (attribute.ints_size() != 4 || !all_equal(attribute, attribute.ints(0))) return false;
      shape->padding = attribute.ints(0);
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

class Graph {
 public:
  explicit Graph(const onnx::GraphProto& graph) {
    for (const auto& initializer : graph.initializer()) stored_[initializer.name()] = &initializer;
    for (const auto& node : graph.node()) {
      if (!folded_into_convolution(node.op_type())) continue;
      for (const auto& input : node.input()) feeding_folds_.insert(input);
    }
  }

  // A float tensor stored in the file, or null.
  const onnx::TensorProto* stored_float(const std::string& name) const {
    const auto found = stored_.find(name);
    if (found == stored_.end() || found->second->data_type() != onnx::TensorProto::FLOAT) return nullptr;
    return found->second;
  }

  bool feeds_a_fold(const std::string& value) const { return feeding_folds_.count(value) != 0; }

 private:
  std::unordered_map<std::string, const onnx::TensorProto*> stored_;
  std::unordered_set<std::string> feeding_folds_;  // values a folding node consumes
};

// The layer type for the node, or null when it stays OpenCV's.
const char* layer_for(const onnx::NodeProto& node, const Graph& graph, ConvShape* shape) {
  if (node.op_type() != "Conv" || !(node.domain().empty() || node.domain() == "ai.onnx")) return nullptr;
  if (node.output_size() != 1 || node.input_size() < 2 || node.input_size() > 3) return nullptr;
  if (!read_shape(node, shape) || graph.feeds_a_fold(node.output(0))) return nullptr;
  const onnx::TensorProto* weights = graph.stored_float(node.input(1));
  if (weights == nullptr || weights->dims_size() != 4 || weights->dims(0) < 1 || weights->dims(1) < 1) return nullptr;
  const int64_t kernel = weights->dims(2);
  if (weights->dims(3) != kernel || (shape->kernel != 0 && shape->kernel != kernel)) return nullptr;
  if (node.input_size() == 3 && !node.input(2).empty()) {
    const onnx::TensorProto* bias = graph.stored_float(node.input(2));
    if (bias == nullptr || bias->dims_size() != 1 || bias->dims(0) != weights->dims(0)) return nullptr;
  }
  const int64_t channels = weights->dims(1);
  if (kernel == 1 && shape->padding == 0 && channels <= kPointwiseMaxInputChannels) return kPointwiseConvLayerType;
  if (kernel == 3 && shape->padding <= 1 && shape->padding >= 0 && channels <= kConv3x3MaxInputChannels) {
    return kConv3x3LayerType;
  }
  return nullptr;
}

}  // namespace

bool route_convolution_nodes(onnx::ModelProto* model) {
  const Graph graph(model->graph());
  bool pointwise = false;
  bool three_by_three = false;
  for (auto& node : *model->mutable_graph()->mutable_node()) {
    ConvShape shape;
    const char* type = layer_for(node, graph, &shape);
    if (type == nullptr) continue;
    // An absent bias may be named as empty; the importer would look it up.
    if (node.input_size() == 3 && node.input(2).empty()) node.mutable_input()->RemoveLast();
    node.set_op_type(type);
    node.clear_domain();
    node.clear_attribute();
    if (type == kConv3x3LayerType) {
      auto* padding = node.add_attribute();
      padding->set_name(kConv3x3PaddingParameter);
      padding->set_type(onnx::AttributeProto::INT);
      padding->set_i(shape.padding);
      three_by_three = true;
    } else {
      pointwise = true;
    }
  }
  if (pointwise) register_pointwise_conv_layer();
  if (three_by_three) register_conv3x3_layer();
  return pointwise || three_by_three;
}

}  // namespace kycl
