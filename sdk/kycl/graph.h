// The objects behind the kycl handles: ops, graphs and streams. Every handle
// given out is registered in the core's handle registry and looked up there
// when it comes back, so stale and foreign handles are refused with a code.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kycl.h"

namespace kycl {

struct Model;

struct Op {
  enum class Kind : uint8_t { graph_input, run_model } kind = Kind::graph_input;
  uint32_t input_index = 0;      // graph input ops: which buffer of a request's inputs
  std::shared_ptr<Model> model;  // run-model ops
  std::vector<const void*> sources;
};

struct Graph {
  std::mutex lock;
  std::vector<const void*> ops;      // every op of the graph, creation order
  std::vector<const void*> outputs;  // registered output op handles
};

// A graph checked by buildStream: the run-model ops in an order where every
// op comes after its sources, and the outputs, all held alive.
struct BuiltGraph {
  struct Step {
    const void* handle;
    std::shared_ptr<Op> op;
  };
  std::vector<Step> steps;
  std::vector<Step> outputs;
};

struct Request {
  void* inputs;
  void* outputs;
};

struct Stream {
  const void* graph = nullptr;
  uint32_t device = 0;  // the device current when it was made: its requests run there
  kyclBalanceMode mode = kyclBM_ONCE;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<kyclStreamReportFn, void*>> reports;
  std::shared_ptr<const BuiltGraph> built;
  std::deque<Request> queue;
  uint32_t in_flight = 0;  // queued or running
  bool stopping = false;
  std::thread worker;
};

std::shared_ptr<Graph> find_graph(const void* handle);
std::shared_ptr<Op> find_op(const void* handle);
std::shared_ptr<Model> find_model(const void* handle);

// Checks a graph and orders it for running (0 or KYCL_INVALID_GRAPH).
uint32_t build_graph(Graph& graph, std::shared_ptr<const BuiltGraph>* built);
// Runs one request through a built graph: the inputs and outputs are
// datasets of device buffers.
uint32_t run_graph(const BuiltGraph& graph, void* inputs, void* outputs);
// A dataset of device buffers sized for the graph's outputs.
uint32_t make_output_dataset(const BuiltGraph& graph, void** dataset);

}  // namespace kycl
