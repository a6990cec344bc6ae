// Chains of nodes of a model's graph that one of the die's layers takes
// whole: which node alone reads a value, and the graph without the nodes a
// chain took over.
#pragma once

#include <onnx/onnx_pb.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace kycl {

class NodeChains {
 public:
  explicit NodeChains(onnx::GraphProto* graph);

  // The node after node `after` that alone reads `value` (no other node
  // reads it and the model does not give it out), when it is of `type` in
  // the default domain with one input and one output; else null.
  const onnx::NodeProto* only_reader(int after, const std::string& value, const char* type) const;

  // Marks the node that makes `value` to leave the graph.
  void drop_maker_of(const std::string& value);

  // Takes the marked nodes out of the graph, the others keeping their order;
  // the last call.
  void remove_dropped();

 private:
  onnx::GraphProto* graph_;
  std::unordered_map<std::string, int> readers_;  // nodes reading each value, 2 more for an output of the model
  std::unordered_map<std::string, int> maker_;    // the node making each value
  std::vector<bool> dropped_;
};

}  // namespace kycl
