// Op graphs: graph input ops, run-model ops, their connections and the
// registered outputs.
#include "graph.h"

#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/test_control.h"

using kycore::HandleKind;
using kycore::HandleRegistry;

namespace kycl {

std::shared_ptr<Graph> find_graph(const void* handle) {
  return HandleRegistry::instance().find<Graph>(handle, HandleKind::graph);
}
std::shared_ptr<Op> find_op(const void* handle) { return HandleRegistry::instance().find<Op>(handle, HandleKind::op); }

namespace {

// Orders connections, registrations and the destroy of graphs, which may
// race each other on the same ops: an op joins a graph either before the
// graph's destroy collects its ops, or finds the graph gone.
std::mutex g_membership;

// Makes an op that belongs to no graph yet a member of `graph`, so that it
// is released with it (a run-model op holds its model). Called with
// g_membership held.
void join_graph(Op& op, const void* handle, const void* graph) {
  if (op.graph != nullptr || graph == nullptr) return;
  auto owner = find_graph(graph);
  if (!owner) return;
  op.graph = graph;
  std::lock_guard<std::mutex> hold(owner->lock);
  owner->ops.push_back(handle);
}

}  // namespace

}  // namespace kycl

using namespace kycl;

extern "C" KY_API kyclRet_t kyclCreateOpGraph(void** graph) try {
  KY_GATE("kyclCreateOpGraph", ::kycore::clear_output(graph), static_cast<const void*>(graph));
  if (graph == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  *graph = HandleRegistry::instance().add(HandleKind::graph, std::make_shared<Graph>());
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclDestroyOpGraph(void* graph) try {
  KY_GATE("kyclDestroyOpGraph", {}, graph);
  auto removed = HandleRegistry::instance().remove<Graph>(graph, HandleKind::graph);
  if (!removed) return kycore::KYCM_INVALID_HANDLE;
  // The graph's ops go with it; a model goes with the last op running it
  // once its own handle is destroyed too.
  std::vector<const void*> ops;
  {
    std::lock_guard<std::mutex> member(g_membership);
    std::lock_guard<std::mutex> hold(removed->lock);
    ops.swap(removed->ops);
  }
  for (const void* op : ops) HandleRegistry::instance().remove<Op>(op, HandleKind::op);
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclCreateGraphInputOp(void* graph, uint32_t input_index, void** op) try {
  KY_GATE("kyclCreateGraphInputOp", ::kycore::clear_output(op), graph, input_index, static_cast<const void*>(op));
  if (op == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto owner = find_graph(graph);
  if (!owner) return kycore::KYCM_INVALID_HANDLE;
  auto input = std::make_shared<Op>();
  input->input_index = input_index;
  input->graph = graph;
  std::lock_guard<std::mutex> hold(owner->lock);
  *op = HandleRegistry::instance().add(HandleKind::op, input);
  owner->ops.push_back(*op);
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclConnectOps(void* from, void* to) try {
  KY_GATE("kyclConnectOps", {}, from, to);
  auto source = find_op(from);
  auto target = find_op(to);
  if (!source || !target) return kycore::KYCM_INVALID_HANDLE;
  if (target->kind != Op::Kind::run_model || from == to) return kycore::KYCM_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> hold(g_membership);
  target->sources.push_back(from);
  join_graph(*target, to, source->graph);
  join_graph(*source, from, target->graph);
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRegisterGetOutputs(void* graph, void** ops, uint32_t count) try {
  KY_GATE("kyclRegisterGetOutputs", {}, graph, static_cast<const void*>(ops), count);
  auto owner = find_graph(graph);
  if (!owner) return kycore::KYCM_INVALID_HANDLE;
  if (ops == nullptr && count != 0) return kycore::KYCM_INVALID_ARGUMENT;
  std::vector<std::shared_ptr<Op>> found;
  for (uint32_t i = 0; i < count; ++i) {
    found.push_back(find_op(ops[i]));
    if (!found.back()) return kycore::KYCM_INVALID_HANDLE;
  }
  std::lock_guard<std::mutex> member(g_membership);
  for (uint32_t i = 0; i < count; ++i) join_graph(*found[i], ops[i], graph);
  std::lock_guard<std::mutex> hold(owner->lock);
  owner->outputs.insert(owner->outputs.end(), ops, ops + count);
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRegisterGetOutput(void* graph, void* op) try {
  KY_GATE("kyclRegisterGetOutput", {}, graph, op);
  return kyclRegisterGetOutputs(graph, &op, 1);
}
KYCL_CATCH
