// Chains of nodes of a model's graph that one of the die's layers takes
// whole: which node alone reads a value, and the graph without the nodes a
// chain took over.
#pragma once

#include <onnx/onnx_pb.h>

#include <initializer_list>
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

  // Gives node `first` the chain after it: it takes `type` and the last
  // node's output, and the `rest` of the chain leave the graph at finish().
  void take_over(onnx::NodeProto* first, std::initializer_list<const onnx::NodeProto*> rest, const char* type);

  // Takes the nodes of the chains out of the graph, the others keeping
  // their order; whether any chain was taken over. The last call.
  bool finish();

 private:
  onnx::GraphProto* graph_;
  std::unordered_map<std::string, int> readers_;  // nodes reading each value, 2 more for an output of the model
  std::unordered_map<std::string, int> maker_;    // the node making each value
  std::vector<bool> dropped_;
  bool taken_ = false;
};

}  // namespace kycl
