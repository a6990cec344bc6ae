// How the routings of chains find and remove their nodes.
#include "node_chains.h"

#include <algorithm>
#include <cstddef>

namespace kycl {

NodeChains::NodeChains(onnx::GraphProto* graph)
    : graph_(graph), dropped_(static_cast<std::size_t>(graph->node_size()), false) {
  for (int i = 0; i < graph->node_size(); ++i) {
    for (const auto& input : graph->node(i).input()) ++readers_[input];
    for (const auto& output : graph->node(i).output()) maker_[output] = i;
  }
  for (const auto& output : graph->output()) readers_[output.name()] += 2;  // never taken over
}

const onnx::NodeProto* NodeChains::only_reader(int after, const std::string& value, const char* type) const {
  const auto readers = readers_.find(value);
  if (readers == readers_.end() || readers->second != 1) return nullptr;
  for (int j = after + 1; j < graph_->node_size(); ++j) {
    const onnx::NodeProto& node = graph_->node(j);
    if (std::find(node.input().begin(), node.input().end(), value) == node.input().end()) continue;
    const bool default_domain = node.domain().empty() || node.domain() == "ai.onnx";
    return node.op_type() == type && default_domain && node.input_size() == 1 && node.output_size() == 1 ? &node
                                                                                                         : nullptr;
  }
  return nullptr;
}

void NodeChains::take_over(onnx::NodeProto* first, std::initializer_list<const onnx::NodeProto*> rest,
                           const char* type) {
  for (const onnx::NodeProto* node : rest) {
    const auto maker = maker_.find(node->output(0));
    if (maker != maker_.end()) dropped_[static_cast<std::size_t>(maker->second)] = true;
  }
  first->set_op_type(type);
  first->set_output(0, (*(rest.end() - 1))->output(0));
  taken_ = true;
}

bool NodeChains::finish() {
  if (!taken_) return false;
  google::protobuf::RepeatedPtrField<onnx::NodeProto> kept;
  for (int i = 0; i < graph_->node_size(); ++i) {
    if (!dropped_[static_cast<std::size_t>(i)]) kept.Add()->Swap(graph_->mutable_node(i));
  }
  graph_->mutable_node()->Swap(&kept);
  return true;
}

}  // namespace kycl
