// Eight threads on the C interface at once: device memory, copies, library
// objects, device resets, release and re-initialisation of the runtime, the
// management library's readings and the log. ctest runs it in the release
// build, scripts/tsan.sh under ThreadSanitizer. Each case also checks what
// an ordering fault would break, since ThreadSanitizer sees data races only.
// QUILLON_STRESS_SECONDS sets the time per case (default 1).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kycm.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/runtime_log.h"
#include "kyml.h"

using namespace kycore;

namespace {

constexpr int kThreads = 8;
const kycmDeviceInfo kDevice0{kycmDE_KYCC, 0};
const kycmDeviceInfo kHost{kycmDE_CPU, 0};

std::chrono::milliseconds stress_time() {
  const char* text = std::getenv("QUILLON_STRESS_SECONDS");
  const double seconds = text != nullptr && text[0] != '\0' ? std::atof(text) : 1.0;
  return std::chrono::milliseconds(static_cast<int64_t>((seconds > 0 ? seconds : 1.0) * 1000));
}

// Set when the stress time is up.
std::atomic<bool> stop{false};

// Calls step(thread) on kThreads threads, over and over, for the stress time.
void run_threads(const std::function<void(int)>& step) {
  stop.store(false);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!stop.load()) step(t);
    });
  }
  std::this_thread::sleep_for(stress_time());
  stop.store(true);
  for (auto& thread : threads) thread.join();
}

kycmShape shape_of(int64_t elements) {
  kycmShape shape{};
  shape.ndims = 1;
  shape.dims[0] = elements;
  return shape;
}

// Small blocks come from the heap, blocks of 2 MiB and more are mapped.
uint64_t block_size(std::minstd_rand& random) { return random() % 4 == 0 ? (2u << 20) + 64 : 256 + random() % 4096; }

// A live tensor's or data buffer's memory must still be there: a fill of
// its first byte succeeds. Handles destroyed by a reset are skipped.
bool memory_still_there(void* handle, bool tensor) {
  void* address = nullptr;
  const uint32_t found = tensor ? kycmGetTensorDataHandle(handle, &address) : kycmGetDataBufferAddr(handle, &address);
  return found != 0 || kycmMemset(address, 1, 1) == 0;
}

void readings(int t) {
  uint64_t die = 0;
  if (kymlGetDieHandleByDieIndex(static_cast<uint32_t>(t) % 2, &die) != KYML_SUCCESS) return;
  kymlMemUtilizationRate_stuct memory{};
  kymlUtilizationRate_struct rate{};
  kymlProcessInfo_struct processes[4]{};
  uint32_t count = 0;
  EXPECT_EQ(kymlGetMemUtilizationRate(die, &memory), KYML_SUCCESS);
  EXPECT_LE(memory.used, memory.total);
  EXPECT_EQ(kymlGetUtilizationRate(die, &rate), KYML_SUCCESS);
  EXPECT_EQ(kymlGetRunningProcesses(die, processes, &count, 4), KYML_SUCCESS);
}

class KycmStress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kycmInitialize(nullptr), 0u);
    ASSERT_EQ(kymlInit(), KYML_SUCCESS);
  }
  void TearDown() override {
    kymlShutDown();
    kycmUninitialize();
  }
};

TEST_F(KycmStress, NoObjectSurvivesAResetOnFreedMemory) {
  // Thread 0 resets device 0; the others create tensors and data buffers
  // over fresh blocks on it.
  std::vector<std::vector<void*>> tensors(kThreads), buffers(kThreads);
  std::atomic<int> resets{0};
  run_threads([&](int t) {
    thread_local std::minstd_rand random(static_cast<unsigned>(t + 1));
    if (t == 0) {
      EXPECT_EQ(kycmResetDevice(0), 0u);
      ++resets;
      std::this_thread::yield();
      return;
    }
    void* tensor = nullptr;
    const uint64_t size = block_size(random);
    if (kycmCreateTensor(kDevice0, shape_of(static_cast<int64_t>(size)), kycmDT_UINT8, &tensor) == 0) {
      tensors[t].push_back(tensor);
    }
    void* block = nullptr;
    void* buffer = nullptr;
    if (kycmMalloc(size, &block) == 0 && kycmCreateDataBuffer(kDevice0, block, size, &buffer) == 0) {
      buffers[t].push_back(buffer);
    }
  });
  int checked = 0, lost = 0;
  for (int t = 1; t < kThreads; ++t) {
    for (void* tensor : tensors[t]) lost += memory_still_there(tensor, true) ? 0 : 1;
    for (void* buffer : buffers[t]) lost += memory_still_there(buffer, false) ? 0 : 1;
    checked += static_cast<int>(tensors[t].size() + buffers[t].size());
  }
  EXPECT_EQ(lost, 0) << "tensors and data buffers left on freed memory, of " << checked;
  EXPECT_GT(resets.load(), 0);
  EXPECT_GT(checked, 0);
}

TEST_F(KycmStress, NothingIsAllocatedOnceUninitializeHasReturned) {
  // Thread 0 releases and re-initialises the runtime; right after each
  // release nothing may be allocated or registered until it initialises
  // again. Threads 1 to 3 create, the others read what kyml reports.
  std::atomic<int> cycles{0}, leaks{0};
  constexpr int kCreators = 4;
  std::vector<std::atomic<uint64_t>> steps(kThreads);
  run_threads([&](int t) {
    thread_local std::minstd_rand random(static_cast<unsigned>(t + 1));
    if (t == 0) {
      EXPECT_EQ(kycmUninitialize(), 0u);
      // Every creation that began before the release finishes first.
      std::vector<uint64_t> seen(kThreads);
      for (int other = 1; other < kCreators; ++other) seen[other] = steps[other].load();
      for (int other = 1; other < kCreators; ++other) {
        while (steps[other].load() == seen[other] && !stop.load()) std::this_thread::yield();
      }
      auto& registry = HandleRegistry::instance();
      const bool empty = DeviceMemory::instance().block_count(-1) == 0 &&
                         registry.count(HandleKind::context) + registry.count(HandleKind::data_buffer) +
                                 registry.count(HandleKind::dataset) + registry.count(HandleKind::tensor) ==
                             0;
      if (!empty) ++leaks;
      ++cycles;
      std::this_thread::yield();
      EXPECT_EQ(kycmInitialize(nullptr), 0u);
      return;
    }
    if (t >= kCreators) {
      readings(t);
      return;
    }
    void* handle = nullptr;
    switch (random() % 8) {
      case 0:
      case 5:
      case 6:
      case 7:
        if (kycmMalloc(4096, &handle) == 0) kycmFree(handle);
        break;
      case 1:
        if (kycmCreateContext(0, &handle) == 0) kycmDestroyContext(handle);
        break;
      case 2:
        if (kycmCreateTensor(kDevice0, shape_of(64), kycmDT_UINT8, &handle) == 0) kycmDestroyTensor(handle);
        break;
      case 3: {
        static char host_bytes[64];
        if (kycmCreateDataBuffer(kHost, host_bytes, sizeof host_bytes, &handle) == 0) kycmDestroyDataBuffer(handle);
        break;
      }
      default:
        if (kycmCreateDataset(kycmDM_TENSOR, &handle) == 0) kycmDestroyDataset(handle);
        break;
    }
    ++steps[t];
  });
  EXPECT_GT(cycles.load(), 0);
  EXPECT_EQ(leaks.load(), 0) << "of " << cycles.load() << " releases";
}

// The codes a call may meet when other threads reset devices and release the
// runtime under it: success, the runtime not initialised, or its object or
// memory gone.
bool expected(uint32_t code) {
  return code == 0 || code == KYCM_NOT_INITIALIZED || code == KYCM_INVALID_HANDLE || code == KYCM_INVALID_ADDRESS;
}

// Copies bytes to a fresh block and back: the bytes come back unchanged
// unless the block went with a reset.
void copy_round_trip(std::minstd_rand& random) {
  const uint64_t size = block_size(random);
  std::vector<uint8_t> out(size, static_cast<uint8_t>(random())), in(size, 0);
  void* block = nullptr;
  const uint32_t allocated = kycmMalloc(size, &block);
  EXPECT_TRUE(expected(allocated)) << allocated;
  if (allocated != 0) return;
  const uint32_t to = kycmMemcpy(out.data(), block, size, kycmCT_COPY_TO_DEVICE);
  const uint32_t from = kycmMemcpy(block, in.data(), size, kycmCT_COPY_FROM_DEVICE);
  EXPECT_TRUE(expected(to) && expected(from)) << to << " " << from;
  if (to == 0 && from == 0) {
    EXPECT_EQ(std::memcmp(out.data(), in.data(), size), 0);
  }
  EXPECT_TRUE(expected(kycmFree(block)));
}

void objects(std::minstd_rand& random) {
  void* tensor = nullptr;
  void* buffer = nullptr;
  void* dataset = nullptr;
  void* data = nullptr;
  const uint64_t size = block_size(random);
  EXPECT_TRUE(expected(kycmCreateTensor(kDevice0, shape_of(static_cast<int64_t>(size)), kycmDT_UINT8, &tensor)));
  if (kycmGetTensorDataHandle(tensor, &data) == 0) {
    EXPECT_TRUE(expected(kycmMemset(data, 3, size)));
    EXPECT_TRUE(expected(kycmCreateDataBuffer(kDevice0, data, size, &buffer)));
  }
  EXPECT_TRUE(expected(kycmCreateDataset(kycmDM_TENSOR, &dataset)));
  EXPECT_TRUE(expected(kycmAddDatasetTensor(dataset, tensor)));
  EXPECT_TRUE(expected(kycmDestroyDataBuffer(buffer)));
  EXPECT_TRUE(expected(kycmDestroyDatasetAll(dataset)));
}

void contexts() {
  void* context = nullptr;
  uint32_t device = 0;
  EXPECT_TRUE(expected(kycmCreateContext(1, &context)));
  EXPECT_TRUE(expected(kycmSetCurrentContext(context)));
  EXPECT_TRUE(expected(kycmGetDevice(&device)));
  EXPECT_TRUE(expected(kycmDestroyContext(context)));
  EXPECT_TRUE(expected(kycmSetCurrentContext(nullptr)));
}

void log_lines(int t) {
  EXPECT_EQ(kycmLogMessage(kycmLC_APP, kycmLL_INFO, "stress", __FILE__, __LINE__, "thread %d", t), 0u);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_INFO, "stress", KYML_SUCCESS, "thread %d", t), KYML_SUCCESS);
}

TEST_F(KycmStress, EverythingAtOnce) {
  // The log goes to a file for the time of the case.
  const std::string log_path = ::testing::TempDir() + "quillon_stress_" + std::to_string(getpid()) + ".log";
  setenv("QUILLON_LOG", log_path.c_str(), 1);
  ASSERT_EQ(runtime_log::open(), 0u);
  std::atomic<int> lifecycles{0};
  run_threads([&](int t) {
    thread_local std::minstd_rand random(static_cast<unsigned>(t + 1));
    if (t < 2 && random() % 4 == 0) {
      // Threads 0 and 1 release and re-initialise the runtime now and then;
      // the other's release or initialisation may come first.
      const uint32_t released = kycmUninitialize();
      EXPECT_TRUE(released == 0 || released == KYCM_NOT_INITIALIZED) << released;
      std::this_thread::yield();
      const uint32_t initialised = kycmInitialize(nullptr);
      EXPECT_TRUE(initialised == 0 || initialised == KYCM_ALREADY_INITIALIZED) << initialised;
      ++lifecycles;
      return;
    }
    const unsigned action = random() % 64;
    if (action < 4) {
      EXPECT_TRUE(expected(kycmResetDevice(random() % 2)));
    } else if (action < 24) {
      copy_round_trip(random);
    } else if (action < 40) {
      objects(random);
    } else if (action < 48) {
      contexts();
    } else if (action < 56) {
      readings(t);
    } else {
      log_lines(t);
    }
  });
  unsetenv("QUILLON_LOG");
  EXPECT_EQ(runtime_log::open(), 0u);
  std::remove(log_path.c_str());
  EXPECT_GT(lifecycles.load(), 0);
}

}  // namespace
