// Checking an op graph before it runs: every run-model op is fed, the
// connections form no cycle, and at least one output is registered.
#include <unordered_map>

#include "graph.h"
#include "kycore/error_codes.h"
#include "model.h"

namespace kycl {
namespace {

enum class Mark : uint8_t { visiting, done };

struct Orderer {
  std::unordered_map<const void*, Mark> marks;
  BuiltGraph* built;

  // Depth-first from an output back through the sources; false on a cycle,
  // an unknown op or an unfed run-model op.
  bool visit(const void* handle) {
    auto found = marks.find(handle);
    if (found != marks.end()) return found->second == Mark::done;
    auto op = find_op(handle);
    if (!op) return false;
    marks[handle] = Mark::visiting;
    if (op->kind == Op::Kind::run_model) {
      if (op->sources.size() != op->model->inputs.size()) return false;
      for (const void* source : op->sources) {
        if (!visit(source)) return false;
      }
      built->steps.push_back({handle, op});
    }
    marks[handle] = Mark::done;
    return true;
  }
};

}  // namespace

uint32_t build_graph(Graph& graph, std::shared_ptr<const BuiltGraph>* built) {
  auto result = std::make_shared<BuiltGraph>();
  std::vector<const void*> outputs;
  {
    std::lock_guard<std::mutex> hold(graph.lock);
    outputs = graph.outputs;
  }
  if (outputs.empty()) return kycore::KYCL_INVALID_GRAPH;
  Orderer orderer{{}, result.get()};
  for (const void* output : outputs) {
    if (!orderer.visit(output)) return kycore::KYCL_INVALID_GRAPH;
    auto op = find_op(output);
    if (!op || op->kind != Op::Kind::run_model) return kycore::KYCL_INVALID_GRAPH;
    result->outputs.push_back({output, op});
  }
  // Each connection must carry what the model expects: a model's outputs
  // feed the next model's inputs one for one, in order.
  for (const auto& step : result->steps) {
    std::size_t slot = 0;
    for (const void* source : step.op->sources) {
      auto from = find_op(source);
      if (from->kind == Op::Kind::run_model) {
        if (from->model->outputs.size() != 1) return kycore::KYCL_INVALID_GRAPH;
        if (!same_tensor_type(from->model->outputs[0], step.op->model->inputs[slot])) {
          return kycore::KYCL_INVALID_GRAPH;
        }
      }
      ++slot;
    }
  }
  *built = result;
  return kycore::OK;
}

}  // namespace kycl
