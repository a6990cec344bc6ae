// Streams under threads: asynchronous requests racing the stream's destroy
// (from another thread and from the stream's own report function), and
// report functions that synchronise their stream or the whole device while
// another stream does the same. ctest runs it in the release build,
// scripts/tsan.sh under ThreadSanitizer; each case checks the codes and the
// reports, since ThreadSanitizer sees data races only; a hang ends the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kycl.h"
#include "kycm.h"
#include "kycore/error_codes.h"
#include "stress.h"

using namespace kycore;

namespace {

constexpr int kSubmitters = 4;

// z = relu(x) for x of 1x4 floats, as an ONNX file (opset 13).
const unsigned char kRelu[] = {8,   8,   18, 0,  58,  59, 10, 12, 10, 1,   120, 18, 1,   122, 34, 4,  82, 101,
                               108, 117, 18, 1,  114, 90, 19, 10, 1,  120, 18,  14, 10,  12,  8,  1,  18, 8,
                               10,  2,   8,  1,  10,  2,  8,  4,  98, 19,  10,  1,  122, 18,  14, 10, 12, 8,
                               1,   18,  8,  10, 2,   8,  1,  10, 2,  8,   4,   66, 4,   10,  0,  16, 13};

class StreamStress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kycmInitialize(nullptr), 0u);
    char path[] = "/tmp/kycl-stress-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, kRelu, sizeof(kRelu)), static_cast<ssize_t>(sizeof(kRelu)));
    close(file);
    const uint32_t code = kyclCreateModel(path, "", "", "", &model_);
    unlink(path);
    ASSERT_EQ(code, 0u);
    ASSERT_EQ(kyclCreateOpGraph(&graph_), 0u);
    void *input = nullptr, *run = nullptr;
    ASSERT_EQ(kyclCreateGraphInputOp(graph_, 0, &input), 0u);
    ASSERT_EQ(kyclCreateRunModelOp(model_, &run), 0u);
    ASSERT_EQ(kyclConnectOps(input, run), 0u);
    ASSERT_EQ(kyclRegisterGetOutput(graph_, run), 0u);
    void *block = nullptr, *buffer = nullptr;
    ASSERT_EQ(kycmMalloc(16, &block), 0u);
    ASSERT_EQ(kycmCreateDataBuffer(kycmDeviceInfo{kycmDE_KYCC, 0}, block, 16, &buffer), 0u);
    ASSERT_EQ(kycmCreateDataset(kycmDM_BUFFER, &inputs_), 0u);
    ASSERT_EQ(kycmAddDatasetBuffer(inputs_, buffer), 0u);
  }
  void TearDown() override {
    kyclDestroyOpGraph(graph_);
    kyclDestroyModel(model_);
    kycmUninitialize();
  }

  // A built stream of the graph, with an output dataset for its requests.
  void* stream(void** outputs) {
    void* made = nullptr;
    EXPECT_EQ(kyclCreateOpStream(graph_, kyclBM_ONCE, &made), 0u);
    EXPECT_EQ(kyclBuildStream(made), 0u);
    EXPECT_EQ(kyclRequestOutputDataset(made, outputs), 0u);
    return made;
  }

  stress::Watchdog watchdog_;
  void* model_ = nullptr;
  void* graph_ = nullptr;
  void* inputs_ = nullptr;
};

struct Tally {
  std::atomic<int> reports{0};
  std::atomic<int> failed{0};  // reports with an error code
  std::atomic<int> refused{0};
  std::atomic<int> wrong{0};  // codes a request may never get
};

// kSubmitters threads, each submitting to `stream` until it is refused.
std::vector<std::thread> submitters(void* stream, void* inputs, void* outputs, Tally* tally) {
  std::vector<std::thread> threads;
  threads.reserve(kSubmitters);
  for (int t = 0; t < kSubmitters; ++t) {
    threads.emplace_back([=] {
      for (;;) {
        const uint32_t code = kyclRunStreamAsync(stream, inputs, outputs);
        if (code == KYCM_INVALID_HANDLE) break;
        if (code != 0) ++tally->wrong;
      }
      ++tally->refused;
    });
  }
  return threads;
}

// A stream destroyed after its third report, by another thread or by its own
// report function.
struct Destroying {
  bool by_report = false;
  void* stream = nullptr;
  Tally tally;
  std::atomic<int> destroyed{0};
  std::atomic<bool> done{false};
};

void count_and_destroy_on_third(void*, void*, void*, kyclCallbackStatus* status, void* user) {
  auto* state = static_cast<Destroying*>(user);
  if (status->errorCode != 0) ++state->tally.failed;
  if (++state->tally.reports != 3 || !state->by_report) return;
  state->destroyed += kyclDestroyOpStream(state->stream) == 0 ? 1 : 0;
  state->done = true;  // the last touch of the state
}

class StreamDestroyStress : public StreamStress, public ::testing::WithParamInterface<bool> {};

TEST_P(StreamDestroyStress, AsyncRequestsRacingDestroyAreRefusedAndNoReportFollowsIt) {
  for (int iteration = 0; iteration < 20; ++iteration) {
    void* outputs = nullptr;
    Destroying state;
    state.by_report = GetParam();
    state.stream = stream(&outputs);
    ASSERT_EQ(kyclSubscribeStreamReport(state.stream, &count_and_destroy_on_third, &state), 0u);
    auto threads = submitters(state.stream, inputs_, outputs, &state.tally);
    if (!state.by_report) {
      while (state.tally.reports.load() < 3) std::this_thread::yield();
      state.destroyed += kyclDestroyOpStream(state.stream) == 0 ? 1 : 0;
      state.done = true;
    }
    while (!state.done.load()) std::this_thread::yield();
    const int reported = state.tally.reports.load();  // the reporter is gone: nothing may follow
    for (auto& thread : threads) thread.join();       // each ends when the stream refuses it
    EXPECT_EQ(state.tally.reports.load(), reported);
    EXPECT_EQ(state.destroyed.load(), 1);
    EXPECT_EQ(state.tally.refused.load(), kSubmitters);
    EXPECT_EQ(state.tally.wrong.load(), 0);
    EXPECT_EQ(state.tally.failed.load(), 0);
    EXPECT_EQ(kyclDestroyOpStream(state.stream), KYCM_INVALID_HANDLE);
  }
}

INSTANTIATE_TEST_SUITE_P(By, StreamDestroyStress, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "ItsOwnReportFunction" : "AnotherThread";
                         });

struct Synchronizing {
  void* stream = nullptr;
  std::atomic<int> reports{0};
  std::atomic<int> bad{0};  // synchronisations from the report function that did not succeed
};

TEST_F(StreamStress, ReportFunctionsSynchronizingTheirStreamAndTheDeviceDoNotWaitForEachOther) {
  constexpr int kRequests = 20;
  auto synchronize = [](void*, void*, void*, kyclCallbackStatus*, void* user) {
    auto* state = static_cast<Synchronizing*>(user);
    if (kyclSynchronizeDevice(0, 10000) != 0) ++state->bad;
    if (kyclSynchronizeStream(state->stream, 10000) != 0) ++state->bad;
    ++state->reports;
  };
  for (int iteration = 0; iteration < 5; ++iteration) {
    Synchronizing states[2];
    void* outputs[2] = {};
    for (auto& state : states) {
      state.stream = stream(&outputs[&state - states]);
      ASSERT_EQ(kyclSubscribeStreamReport(state.stream, synchronize, &state), 0u);
    }
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int s = 0; s < 2; ++s) {
      threads.emplace_back([&, s] {
        for (int k = 0; k < kRequests; ++k) EXPECT_EQ(kyclRunStreamAsync(states[s].stream, inputs_, outputs[s]), 0u);
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(kyclSynchronizeDevice(0, 20000), 0u);
    for (auto& state : states) {
      EXPECT_EQ(kyclSynchronizeStream(state.stream, 20000), 0u);
      EXPECT_EQ(state.reports.load(), kRequests);
      EXPECT_EQ(state.bad.load(), 0);
      EXPECT_EQ(kyclDestroyOpStream(state.stream), 0u);
    }
  }
}

}  // namespace
