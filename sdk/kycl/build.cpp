// Checking an op graph before it runs: every run-model op is fed, the
// connections form no cycle, and at least one output is registered. In the
// batching balance mode the graph's batch size is found here too.
#include <algorithm>
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
      BuiltGraph::Step step{handle, op, {}};
      for (const void* source : op->sources) {
        if (!visit(source)) return false;
        step.sources.push_back({source, find_op(source)});
        if (!step.sources.back().op) return false;
      }
      built->steps.push_back(std::move(step));
    }
    marks[handle] = Mark::done;
    return true;
  }
};

// The first dimension shared by every input fed from the request and every
// output returned to it: the number of requests one run serves. 1 when they
// do not agree, or a tensor has no dimension to split.
uint32_t common_batch(const BuiltGraph& built) {
  int64_t batch = -1;
  auto agree = [&batch](const TensorInfo& info) {
    if (info.current.empty() || (batch >= 0 && info.current[0] != batch)) return false;
    batch = info.current[0];
    return true;
  };
  for (const auto& step : built.steps) {
    std::lock_guard<std::mutex> hold(step.op->model->lock);
    for (std::size_t slot = 0; slot < step.sources.size(); ++slot) {
      if (step.sources[slot].op->kind == Op::Kind::graph_input && !agree(step.op->model->inputs[slot])) return 1;
    }
  }
  for (const auto& output : built.outputs) {
    std::lock_guard<std::mutex> hold(output.op->model->lock);
    for (const auto& info : output.op->model->outputs) {
      if (!agree(info)) return 1;
    }
  }
  return batch > 1 && batch <= kMaxDynamicBatch ? static_cast<uint32_t>(batch) : 1;
}

}  // namespace

uint32_t build_graph(Graph& graph, kyclBalanceMode mode, std::shared_ptr<const BuiltGraph>* built) {
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
    auto found = std::find_if(result->steps.begin(), result->steps.end(),
                              [output](const BuiltGraph::Step& step) { return step.handle == output; });
    if (found == result->steps.end()) return kycore::KYCL_INVALID_GRAPH;  // not a run-model op
    result->outputs.push_back(*found);
  }
  // Each connection must carry what the model expects: a model's outputs
  // feed the next model's inputs one for one, in order.
  for (const auto& step : result->steps) {
    for (std::size_t slot = 0; slot < step.sources.size(); ++slot) {
      const Op& from = *step.sources[slot].op;
      if (from.kind != Op::Kind::run_model) continue;
      if (from.model->outputs.size() != 1) return kycore::KYCL_INVALID_GRAPH;
      if (!same_tensor_type(from.model->outputs[0], step.op->model->inputs[slot])) return kycore::KYCL_INVALID_GRAPH;
    }
  }
  if (mode == kyclBM_RUN) result->batch = common_batch(*result);
  *built = result;
  return kycore::OK;
}

}  // namespace kycl
