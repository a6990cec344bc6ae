// Streams: a built graph with its own worker thread, and a reporter thread
// for what the worker ran. runStream runs a request on the caller's thread;
// runStreamAsync queues it for the worker. Every
// completed request is reported to each subscribed function with the
// handles (stream, inputs dataset, outputs dataset).
// In the batching balance mode (kyclBM_RUN) requests are gathered until
// they fill the graph's batch; one that only joins a batch is answered with
// kyclER_WAIT_MORE_INPUT, and the one that fills it runs the whole batch
// (on the caller's thread for runStream, on the worker for runStreamAsync).
// Synchronising runs a batch that is still filling as it is.
// Destroy stops the stream and joins its threads; the streams still alive
// when the process exits are stopped and joined the same way.
#include <algorithm>
#include <chrono>
#include <list>

#include "graph.h"
#include "kycore/busy_time.h"
#include "kycore/c_boundary.h"
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
  void* handle;
};

void stop_and_join(Stream& stream, std::vector<std::thread>* retired);
void join_all_but_this(std::vector<std::thread>* threads);

// The streams not yet destroyed, for synchronizeDevice and for the stop at
// exit, and the threads of streams destroyed by their own report function,
// which that thread cannot join itself: the next destroy, or the exit,
// joins them.
struct Streams {
  std::mutex lock;
  std::list<LiveStream> live;
  std::vector<std::thread> retired;

  Streams() = default;
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;
  // Made by the first stream, after the model runtime's libraries were set
  // up, so it runs before their statics go: no worker is inside a model
  // when they do.
  ~Streams() {
    std::vector<std::shared_ptr<Stream>> left;
    {
      std::lock_guard<std::mutex> hold(lock);
      for (const auto& entry : live) {
        if (auto stream = entry.stream.lock()) left.push_back(std::move(stream));
      }
      live.clear();
    }
    for (const auto& stream : left) stop_and_join(*stream, &retired);
    join_all_but_this(&retired);
    // exit() called from a report function: its own thread is all that is
    // left, and the process ends with it.
    for (auto& thread : retired) thread.detach();
  }
};

Streams& streams() {
  static Streams all;
  return all;
}

std::shared_ptr<Stream> find_stream(const void* handle) {
  return HandleRegistry::instance().find<Stream>(handle, HandleKind::stream);
}

// The stream this thread is reporting on, if any (see drain).
thread_local const Stream* t_reporting = nullptr;

// Moves a running stream to stopping and returns its threads, told to end;
// one that never started them is stopped at once. Empty when another caller
// stopped it first.
std::vector<std::thread> stop(Stream& stream) {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(stream.lock);
    if (stream.life != StreamLife::running) return threads;
    stream.life = StreamLife::stopping;
    stream.queue.clear();
    stream.pending.clear();
    stream.in_flight = 0;
    stream.ran.clear();
    if (stream.worker.joinable()) threads.push_back(std::move(stream.worker));
    if (stream.reporter.joinable()) threads.push_back(std::move(stream.reporter));
    if (threads.empty()) stream.life = StreamLife::stopped;
  }
  stream.work.notify_all();
  stream.results.notify_all();
  stream.idle.notify_all();
  return threads;
}

// Joins every thread but the caller's own, which is left in `threads`.
void join_all_but_this(std::vector<std::thread>* threads) {
  auto self = std::find_if(threads->begin(), threads->end(),
                           [](const std::thread& thread) { return thread.get_id() == std::this_thread::get_id(); });
  std::thread own;
  if (self != threads->end()) own = std::move(*self);
  for (auto& thread : *threads) {
    if (thread.joinable()) thread.join();
  }
  threads->clear();
  if (own.joinable()) threads->push_back(std::move(own));
}

// Stops a stream and joins its threads. Destroy called from the stream's own
// report function runs on its reporter: that thread goes to `retired`. The
// worker runs no caller code, so joining it never waits on the caller.
void stop_and_join(Stream& stream, std::vector<std::thread>* retired) {
  auto threads = stop(stream);
  if (threads.empty()) return;
  join_all_but_this(&threads);
  retired->insert(retired->end(), std::make_move_iterator(threads.begin()), std::make_move_iterator(threads.end()));
  std::lock_guard<std::mutex> hold(stream.lock);
  stream.life = StreamLife::stopped;
}

// Reports every request of a finished batch, in order. `end` marks the
// last report of the batch when nothing else waits on the stream.
void report(Stream& stream, void* handle, const std::vector<Request>& requests, uint32_t code, bool end) {
  std::vector<std::pair<kyclStreamReportFn, void*>> reports;
  {
    std::lock_guard<std::mutex> hold(stream.lock);
    reports = stream.reports;
  }
  const Stream* outer = t_reporting;
  t_reporting = &stream;
  for (std::size_t r = 0; r < requests.size(); ++r) {
    for (const auto& [function, user] : reports) {
      kyclCallbackStatus status{code, end && r + 1 == requests.size() ? 1 : 0};
      function(handle, requests[r].inputs, requests[r].outputs, &status, user);
    }
  }
  t_reporting = outer;
}

// Runs a batch, charged to the stream's device as AI engine time.
uint32_t timed_run(const Stream& stream, const BuiltGraph& built, const Request* requests, std::size_t count) {
  const kycore::BusyScope busy(static_cast<int32_t>(stream.device), kycore::Engine::ai);
  return run_graph(built, requests, count);
}

// Counts a batch as done; wakes synchronisers when the stream is idle.
// Called with the stream's lock held.
void finished(Stream& stream, std::size_t count) {
  stream.in_flight -= static_cast<uint32_t>(std::min<std::size_t>(count, stream.in_flight));
  if (stream.in_flight == 0) stream.idle.notify_all();
}

void work(const std::shared_ptr<Stream>& stream) {
  std::unique_lock<std::mutex> hold(stream->lock);
  for (;;) {
    stream->work.wait(hold, [&] { return stream->life != StreamLife::running || !stream->queue.empty(); });
    if (stream->life != StreamLife::running) return;
    std::vector<Request> batch = std::move(stream->queue.front());
    stream->queue.pop_front();
    stream->running = true;
    auto built = stream->built;
    hold.unlock();
    const uint32_t code = timed_run(*stream, *built, batch.data(), batch.size());
    hold.lock();
    if (stream->life != StreamLife::running) return;
    stream->running = false;
    stream->ran.emplace_back(std::move(batch), code);
    stream->results.notify_one();
    if (stream->queue.empty()) stream->idle.notify_all();  // a report function may wait for this
  }
}

void deliver(const std::shared_ptr<Stream>& stream, void* handle) {
  std::unique_lock<std::mutex> hold(stream->lock);
  for (;;) {
    stream->results.wait(hold, [&] { return stream->life != StreamLife::running || !stream->ran.empty(); });
    if (stream->life != StreamLife::running) return;
    auto [batch, code] = std::move(stream->ran.front());
    stream->ran.pop_front();
    // The last report while nothing else is waiting: what ran is all there was.
    const bool end =
        stream->ran.empty() && stream->queue.empty() && stream->pending.empty() && stream->in_flight == batch.size();
    hold.unlock();
    report(*stream, handle, batch, code, end);
    hold.lock();
    if (stream->life != StreamLife::running) return;  // destroyed meanwhile: the count was reset
    finished(*stream, batch.size());
  }
}

// Hands the stream's queued batches, and a batch still filling, to the
// worker. Called with the stream's lock held. A stream that stops starts
// no thread: its destroy has already taken the ones it had.
void flush(const std::shared_ptr<Stream>& stream, void* handle) {
  if (stream->life != StreamLife::running) return;
  if (!stream->pending.empty()) {
    stream->queue.push_back(std::move(stream->pending));
    stream->pending.clear();
  }
  if (stream->queue.empty()) return;
  if (!stream->worker.joinable()) {
    stream->worker = std::thread(work, stream);
    stream->reporter = std::thread(deliver, stream, handle);
  }
  stream->work.notify_one();
}

// Waits until the stream has nothing pending, queued or running; 0 means no
// limit. A batch still filling is run as it is, the rest of it on zeros.
// From inside a report function it waits for the requests to have run, not
// to have been reported: its own stream's reports come from this very
// thread once it returns, and another stream's reporter may itself be
// waiting in a report function for this one's.
uint32_t drain(const std::shared_ptr<Stream>& stream, void* handle, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(stream->lock);
  flush(stream, handle);
  const bool reporting = t_reporting != nullptr;
  auto idle = [&] {
    if (stream->life != StreamLife::running) return true;
    return reporting ? stream->queue.empty() && stream->pending.empty() && !stream->running : stream->in_flight == 0;
  };
  if (timeout_ms == 0) {
    stream->idle.wait(hold, idle);
    return kycore::OK;
  }
  return stream->idle.wait_for(hold, std::chrono::milliseconds(timeout_ms), idle) ? kycore::OK : kycore::KYCL_TIMEOUT;
}

// Takes a request into the stream's batch. True when the batch is now full
// and was taken out into `full`. Called with the stream's lock held.
bool take(Stream& stream, const Request& request, std::vector<Request>* full) {
  stream.pending.push_back(request);
  ++stream.in_flight;
  if (stream.pending.size() < stream.built->batch) return false;
  *full = std::move(stream.pending);
  stream.pending.clear();
  return true;
}

}  // namespace
}  // namespace kycl

using namespace kycl;

extern "C" KY_API kyclRet_t kyclCreateOpStream(void* graph, kyclBalanceMode mode, void** stream) try {
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
  auto& all = streams();
  std::lock_guard<std::mutex> hold(all.lock);
  all.live.remove_if([](const LiveStream& entry) { return entry.stream.expired(); });
  all.live.push_back({device, made, *stream});
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclDestroyOpStream(void* stream) try {
  KY_GATE("kyclDestroyOpStream", {}, stream);
  auto removed = HandleRegistry::instance().remove<Stream>(stream, HandleKind::stream);
  if (!removed) return kycore::KYCM_INVALID_HANDLE;
  auto& all = streams();
  {
    std::lock_guard<std::mutex> hold(all.lock);
    all.live.remove_if([stream](const LiveStream& entry) { return entry.handle == stream; });
  }
  std::vector<std::thread> retired;
  stop_and_join(*removed, &retired);
  {
    std::lock_guard<std::mutex> hold(all.lock);
    retired.insert(retired.end(), std::make_move_iterator(all.retired.begin()),
                   std::make_move_iterator(all.retired.end()));
    all.retired.clear();
  }
  // Threads retired earlier have long left their report function, or are
  // this very one; whatever cannot be joined here waits for the next call.
  join_all_but_this(&retired);
  if (!retired.empty()) {
    std::lock_guard<std::mutex> hold(all.lock);
    all.retired.push_back(std::move(retired.front()));
  }
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclSubscribeStreamReport(void* stream, kyclStreamReportFn function, void* user) try {
  KY_GATE("kyclSubscribeStreamReport", {}, stream, reinterpret_cast<const void*>(function), user);
  if (function == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  if (found->life != StreamLife::running) return kycore::KYCM_INVALID_HANDLE;
  found->reports.emplace_back(function, user);
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclBuildStream(void* stream) try {
  KY_GATE("kyclBuildStream", {}, stream);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  auto graph = find_graph(found->graph);
  if (!graph) return kycore::KYCM_INVALID_HANDLE;
  std::shared_ptr<const BuiltGraph> built;
  const uint32_t code = build_graph(*graph, found->mode, &built);
  if (code != kycore::OK) return code;
  std::lock_guard<std::mutex> hold(found->lock);
  if (found->life != StreamLife::running) return kycore::KYCM_INVALID_HANDLE;
  if (found->built) return kycore::KYCL_STREAM_BUILT;
  found->built = built;
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRunStream(void* stream, void* inputs, void* outputs, uint32_t timeout_ms) try {
  KY_GATE("kyclRunStream", {}, stream, inputs, outputs, timeout_ms);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::vector<Request> batch;
  std::shared_ptr<const BuiltGraph> built;
  {
    std::lock_guard<std::mutex> hold(found->lock);
    if (found->life != StreamLife::running) return kycore::KYCM_INVALID_HANDLE;
    built = found->built;
    if (!built) return kycore::KYCL_STREAM_NOT_BUILT;
    if (built->batch == 1) {
      batch.push_back({inputs, outputs});
    } else if (!take(*found, {inputs, outputs}, &batch)) {
      return kycore::KYCL_WAIT_MORE_INPUT;
    }
  }
  // The request that fills a batch runs it here, for all its requests.
  const uint32_t code = timed_run(*found, *built, batch.data(), batch.size());
  report(*found, stream, batch, code, true);
  if (built->batch != 1) {
    std::lock_guard<std::mutex> hold(found->lock);
    if (found->life == StreamLife::running) finished(*found, batch.size());
  }
  return code;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRunStreamAsync(void* stream, void* inputs, void* outputs) try {
  KY_GATE("kyclRunStreamAsync", {}, stream, inputs, outputs);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  // Found before a destroy removed it, locked after the destroy stopped it.
  if (found->life != StreamLife::running) return kycore::KYCM_INVALID_HANDLE;
  if (!found->built) return kycore::KYCL_STREAM_NOT_BUILT;
  std::vector<Request> batch;
  if (!take(*found, {inputs, outputs}, &batch)) return kycore::KYCL_WAIT_MORE_INPUT;
  found->queue.push_back(std::move(batch));
  flush(found, stream);
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclSynchronizeStream(void* stream, uint32_t timeout_ms) try {
  KY_GATE("kyclSynchronizeStream", {}, stream, timeout_ms);
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  return drain(found, stream, timeout_ms);
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclSynchronizeDevice(uint32_t device, uint32_t timeout_ms) try {
  KY_GATE("kyclSynchronizeDevice", {}, device, timeout_ms);
  if (device >= kycore::current_platform()->device_count()) return kycore::KYCM_INVALID_DEVICE;
  std::vector<std::pair<std::shared_ptr<Stream>, void*>> streams;
  {
    auto& all = kycl::streams();
    std::lock_guard<std::mutex> hold(all.lock);
    for (const auto& entry : all.live) {
      auto live = entry.stream.lock();
      if (live && entry.device == device) streams.emplace_back(std::move(live), entry.handle);
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (const auto& [stream, handle] : streams) {
    uint32_t left = 0;
    if (timeout_ms != 0) {
      const auto remaining =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (remaining.count() <= 0) return kycore::KYCL_TIMEOUT;
      left = static_cast<uint32_t>(remaining.count());
    }
    const uint32_t code = drain(stream, handle, left);
    if (code != kycore::OK) return code;
  }
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclGetStreamCacheNumber(void* stream, uint32_t* count) try {
  KY_GATE("kyclGetStreamCacheNumber", ::kycore::clear_output(count), stream, static_cast<const void*>(count));
  if (count == nullptr) return kycore::KYCM_INVALID_ARGUMENT;
  auto found = find_stream(stream);
  if (!found) return kycore::KYCM_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(found->lock);
  *count = found->in_flight;
  return kycore::OK;
}
KYCL_CATCH

extern "C" KY_API kyclRet_t kyclRequestOutputDataset(void* stream, void** dataset) try {
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
KYCL_CATCH
