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
  // The graph the op belongs to and goes with: the one it was made in, or
  // for a run-model op the first it was connected into or registered with.
  const void* graph = nullptr;
};

struct Graph {
  std::mutex lock;
  std::vector<const void*> ops;      // every op that belongs to the graph, in the order they joined
  std::vector<const void*> outputs;  // registered output op handles
};

// A graph checked by buildStream: the run-model ops in an order where every
// op comes after its sources, and the outputs, all held alive. The sources
// are resolved here, so connections made or ops destroyed after building do
// not change what a stream runs.
struct BuiltGraph {
  struct Source {
    const void* handle;
    std::shared_ptr<Op> op;
  };
  struct Step {
    const void* handle;
    std::shared_ptr<Op> op;
    std::vector<Source> sources;  // one per model input, in order
  };
  std::vector<Step> steps;
  std::vector<Step> outputs;
  // Requests run together as one batch of the models: 1 except in the
  // batching balance mode (kyclBM_RUN), where it is the graph's batch size.
  uint32_t batch = 1;
};

struct Request {
  void* inputs;
  void* outputs;
};

// A stream's life. Running: it takes requests and starts its threads when
// the first is queued. Stopping: destroy took it; its queues are dropped,
// requests are refused as for a destroyed handle and no thread is started.
// Stopped: its threads are joined, or handed to whoever can join them when
// destroy ran on the stream's own reporter.
enum class StreamLife : uint8_t { running, stopping, stopped };

struct Stream {
  const void* graph = nullptr;
  uint32_t device = 0;  // the device current when it was made: its requests run there
  kyclBalanceMode mode = kyclBM_ONCE;
  std::mutex lock;
  std::condition_variable work;     // the worker: a batch was queued, or stop
  std::condition_variable results;  // the reporter: a batch ran, or stop
  std::condition_variable idle;     // synchronisers: nothing left, or stopped
  std::vector<std::pair<kyclStreamReportFn, void*>> reports;
  std::shared_ptr<const BuiltGraph> built;
  std::vector<Request> pending;                               // a batch still filling (batching mode)
  std::deque<std::vector<Request>> queue;                     // batches waiting for the worker
  std::deque<std::pair<std::vector<Request>, uint32_t>> ran;  // batches and codes to report
  uint32_t in_flight = 0;                                     // pending, queued, running or reporting
  bool running = false;                                       // the worker is running a batch
  StreamLife life = StreamLife::running;
  // Running and reporting are separate threads, so that a report function
  // that waits (for the Python interpreter, say) never holds up the models.
  std::thread worker;
  std::thread reporter;
};

std::shared_ptr<Graph> find_graph(const void* handle);
std::shared_ptr<Op> find_op(const void* handle);
std::shared_ptr<Model> find_model(const void* handle);

// Checks a graph and orders it for running (0 or KYCL_INVALID_GRAPH); in
// the batching mode also finds the batch its requests are gathered into.
uint32_t build_graph(Graph& graph, kyclBalanceMode mode, std::shared_ptr<const BuiltGraph>* built);
// Runs up to graph.batch requests through a built graph as one batch: each
// request's inputs and outputs are datasets of device buffers holding one
// batch's share (all of it when the batch is 1). Missing requests of a
// batch run on zeros.
uint32_t run_graph(const BuiltGraph& graph, const Request* requests, std::size_t count);
// A dataset of device buffers sized for one request's share of the outputs.
uint32_t make_output_dataset(const BuiltGraph& graph, void** dataset);

}  // namespace kycl
