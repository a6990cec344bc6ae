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
  // The graph's ops go with it.
  for (const void* op : removed->ops) HandleRegistry::instance().remove<Op>(op, HandleKind::op);
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
  target->sources.push_back(from);
  return kyclER_SUCCESS;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRegisterGetOutputs(void* graph, void** ops, uint32_t count) try {
  KY_GATE("kyclRegisterGetOutputs", {}, graph, static_cast<const void*>(ops), count);
  auto owner = find_graph(graph);
  if (!owner) return kycore::KYCM_INVALID_HANDLE;
  if (ops == nullptr && count != 0) return kycore::KYCM_INVALID_ARGUMENT;
  for (uint32_t i = 0; i < count; ++i) {
    if (!find_op(ops[i])) return kycore::KYCM_INVALID_HANDLE;
  }
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
