// Streams: a built graph with its own worker thread. runStream runs a request
// on the caller's thread; runStreamAsync queues it for the worker. Every
// completed request is reported to each subscribed function with the
// handles (stream, inputs dataset, outputs dataset).
#include <algorithm>
#include <chrono>
#include <list>

#include "graph.h"
#include "kycore/busy_time.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/platform.h"
#include "kycore/test_control.h"

using kycore::HandleKind;
using kycore::HandleRegistry;

namespace kycl {
namespace {

struct LiveStream {
  uint32_t device;
  std::weak_ptr<Stream> stream;
};

// Every stream made, for synchronizeDevice; expired entries are dropped as
// the list is walked.
std::mutex g_streams_lock;
std::list<LiveStream> g_streams;

std::shared_ptr<Stream> find_stream(const void* handle) {
  return HandleRegistry::instance().find<Stream>(handle, HandleKind::stream);
}

void report(Stream& stream, void* handle, const Request& request, uint32_t code, bool end) {
  std::vector<std::pair<kyclStreamReportFn, void*>> reports;
  {
    std::lock_guard<std::mutex> hold(stream.lock);
    reports = stream.reports;
  }
  for (const auto& [function, user] : reports) {
    kyclCallbackStatus status{code, end ? 1 : 0};
    function(handle, request.inputs, request.outputs, &status, user);
  }
}

// One request, charged to the stream's device as AI engine time.
uint32_t timed_run(const Stream& stream, const BuiltGraph& built, const Request& request) {
  const kycore::BusyScope busy(static_cast<int32_t>(stream.device), kycore::Engine::ai);
  return run_graph(built, request.inputs, request.outputs);
}

void work(const std::shared_ptr<Stream>& stream, void* handle) {
  std::unique_lock<std::mutex> hold(stream->lock);
  for (;;) {
    stream->changed.wait(hold, [&] { return stream->stopping || !stream->queue.empty(); });
    if (stream->stopping) return;
    const Request request = stream->queue.front();
    stream->queue.pop_front();
    auto built = stream->built;
    hold.unlock();
    const uint32_t code = timed_run(*stream, *built, request);
    bool end = false;
    {
      std::lock_guard<std::mutex> peek(stream->lock);
      end = stream->queue.empty();
    }
    report(*stream, handle, request, code, end);
    hold.lock();
    if (stream->stopping) return;  // destroyed meanwhile: the count was reset
    --stream->in_flight;
    stream->changed.notify_all();
  }
}

// Waits until the stream has nothing queued or running; 0 means no limit.
uint32_t drain(Stream& stream, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(stream.lock);
  auto idle = [&] { return stream.in_flight == 0 || stream.stopping; };
  if (timeout_ms == 0) {
    stream.changed.wait(hold, idle);
    return kycore::OK;
  }
  return stream.changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), idle) ? kycore::OK : kycore::KYCL_TIMEOUT;
}

}  // namespace
}  // namespace kycl

using namespace kycl;

extern "C" KY_API kyclRet_t kyclCreateOpStream(void* graph, kyclBalanceMode mode, void** stream) {
  KY_GATE("kyclCreateOpStream", ::kycore::clear_output(stream), graph, mode, static_cast<const void*>(stream));
  if (stream == nullptr || (mode != kyclBM_ONCE && mode != kyclBM_RUN)) return kycore::KYCM_INVALID_ARGUMENT;
  if (!find_graph(graph)) return kycore::KYCM_INVALID_HANDLE;
  uint32_t device = 0;
  if (kycmGetDevice(&device) != kycore::OK) device = 0;
  auto made = std::make_shared<Stream>();
  made->graph = graph;
  made->device = device;
  made->mode = mode;
  *stream = HandleRegistry::instance().add(HandleKind::stream, made);
  std::lock_guard<std::mutex> hold(g_streams_lock);
  g_streams.push_back({device, made});
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclDestroyOpStream(void* stream) {
  KY_GATE("kyclDestroyOpStream", {}, stream);
  auto removed = HandleRegistry::instance().remove<Stream>(stream, HandleKind::stream);
  if (!removed) return kycore::KYCM_INVALID_HANDLE;
  std::thread worker;
  {
    std::lock_guard<std::mutex> hold(removed->lock);
    removed->stopping = true;
    removed->queue.clear();
    removed->in_flight = 0;
    worker = std::move(removed->worker);
  }
  removed->changed.notify_all();
  // The worker may be delivering a report that needs the caller's own
  // locks (or be the caller): it finishes on its own, holding the stream.
  if (worker.joinable()) worker.detach();
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclSubscribeStreamReport(void* stream, kyclStreamReportFn function, void* user) {
  KY_GATE("kyclSubscribeStreamReport", {}, stream, reinterpret_cast<const void*>(function), user);
  if (function == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  found->reports.emplace_back(function, user);
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclBuildStream(void* stream) {
  KY_GATE("kyclBuildStream", {}, stream);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  auto graph = find_graph(found->graph);
  if (!graph) return kycore::KYCM_INVALID_HANDLE;
  std::shared_ptr<const BuiltGraph> built;
  const uint32_t code = build_graph(*graph, &built);
  if (code != kycore::OK) return code;
  std::lock_guard<std::mutex> hold(found->lock);
  if (found->built) return kycore::KYCL_STREAM_BUILT;
  found->built = built;
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclRunStream(void* stream, void* inputs, void* outputs, uint32_t timeout_ms) {
  KY_GATE("kyclRunStream", {}, stream, inputs, outputs, timeout_ms);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::shared_ptr<const BuiltGraph> built;
  {
    std::lock_guard<std::mutex> hold(found->lock);
    built = found->built;
  }
  if (!built) return kycore::KYCL_STREAM_NOT_BUILT;
  const uint32_t code = timed_run(*found, *built, Request{inputs, outputs});
  report(*found, stream, Request{inputs, outputs}, code, true);
  return code;
}

extern "C" KY_API kyclRet_t kyclRunStreamAsync(void* stream, void* inputs, void* outputs) {
  KY_GATE("kyclRunStreamAsync", {}, stream, inputs, outputs);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  if (!found->built) return kycore::KYCL_STREAM_NOT_BUILT;
  if (!found->worker.joinable()) found->worker = std::thread(work, found, stream);
  found->queue.push_back({inputs, outputs});
  ++found->in_flight;
  found->changed.notify_all();
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclSynchronizeStream(void* stream, uint32_t timeout_ms) {
  KY_GATE("kyclSynchronizeStream", {}, stream, timeout_ms);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  return drain(*found, timeout_ms);
}

extern "C" KY_API kyclRet_t kyclSynchronizeDevice(uint32_t device, uint32_t timeout_ms) {
  KY_GATE("kyclSynchronizeDevice", {}, device, timeout_ms);
  if (device >= kycore::current_platform()->device_count()) return kycore::KYCM_INVALID_DEVICE;
  std::vector<std::shared_ptr<Stream>> streams;
  {
    std::lock_guard<std::mutex> hold(g_streams_lock);
    for (auto it = g_streams.begin(); it != g_streams.end();) {
      auto live = it->stream.lock();
      if (!live) {
        it = g_streams.erase(it);
        continue;
      }
      if (it->device == device) streams.push_back(live);
      ++it;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (const auto& stream : streams) {
    uint32_t left = 0;
    if (timeout_ms != 0) {
      const auto remaining =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (remaining.count() <= 0) return kycore::KYCL_TIMEOUT;
      left = static_cast<uint32_t>(remaining.count());
    }
    const uint32_t code = drain(*stream, left);
    if (code != kycore::OK) return code;
  }
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclGetStreamCacheNumber(void* stream, uint32_t* count) {
  KY_GATE("kyclGetStreamCacheNumber", ::kycore::clear_output(count), stream, static_cast<const void*>(count));
  if (count == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  *count = found->in_flight;
  return kycore::OK;
}

extern "C" KY_API kyclRet_t kyclRequestOutputDataset(void* stream, void** dataset) {
  KY_GATE("kyclRequestOutputDataset", ::kycore::clear_output(dataset), stream, static_cast<const void*>(dataset));
  if (dataset == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::shared_ptr<const BuiltGraph> built;
  {
    std::lock_guard<std::mutex> hold(found->lock);
    built = found->built;
  }
  if (!built) return kycore::KYCL_STREAM_NOT_BUILT;
  return make_output_dataset(*built, dataset);
}
