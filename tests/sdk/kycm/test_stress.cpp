// Eight threads on the C interface at once: device memory, copies, library
// objects, device resets, release and re-initialisation of the runtime, the
// management library's readings and the log, and initialisations racing
// each other. ctest runs it in the release
// build, scripts/tsan.sh under ThreadSanitizer. Each case also checks what
// an ordering fault would break, since ThreadSanitizer sees data races only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kycm.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/runtime_log.h"
#include "kyml.h"
#include "stress.h"

using namespace kycore;
using stress::kThreads;
using stress::run_threads;

namespace {

const kycmDeviceInfo kDevice0{kycmDE_KYCC, 0};

kycmShape shape_of(uint64_t elements) {
  kycmShape shape{};
  shape.ndims = 1;
  shape.dims[0] = static_cast<int64_t>(elements);
  return shape;
}

// Small blocks come from the heap, blocks of 2 MiB and more are mapped.
uint64_t block_size(std::minstd_rand& random) { return random() % 4 == 0 ? (2u << 20) + 64 : 256 + random() % 4096; }

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
  std::vector<std::vector<std::pair<void*, bool>>> created(kThreads);  // (handle, is a tensor)
  std::atomic<int> resets{0};
  run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0) {
      EXPECT_EQ(kycmResetDevice(0), 0u);
      ++resets;
      std::this_thread::yield();
      return;
    }
    void *tensor = nullptr, *block = nullptr, *buffer = nullptr;
    const uint64_t size = block_size(random);
    if (kycmCreateTensor(kDevice0, shape_of(size), kycmDT_UINT8, &tensor) == 0) created[t].emplace_back(tensor, true);
    if (kycmMalloc(size, &block) == 0 && kycmCreateDataBuffer(kDevice0, block, size, &buffer) == 0) {
      created[t].emplace_back(buffer, false);
    }
  });
  // A live object's memory must still be there: a fill of its first byte
  // succeeds. Objects destroyed by a reset are skipped.
  int checked = 0, lost = 0;
  for (const auto& objects : created) {
    for (const auto& [handle, tensor] : objects) {
      void* address = nullptr;
      const uint32_t found =
          tensor ? kycmGetTensorDataHandle(handle, &address) : kycmGetDataBufferAddr(handle, &address);
      lost += found == 0 && kycmMemset(address, 1, 1) != 0 ? 1 : 0;
      ++checked;
    }
  }
  EXPECT_EQ(lost, 0) << "tensors and data buffers left on freed memory, of " << checked;
  EXPECT_GT(resets.load(), 0);
  EXPECT_GT(checked, 0);
}

TEST_F(KycmStress, NothingIsAllocatedOnceUninitializeHasReturned) {
  // Thread 0 releases and re-initialises the runtime; right after each
  // release nothing may be allocated or registered until it initialises
  // again. Threads 1 to 3 create and destroy, the others read what kyml reports.
  constexpr int kCreators = 4;
  std::atomic<int> cycles{0}, leaks{0};
  std::vector<std::atomic<uint64_t>> steps(kThreads);
  run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0) {
      EXPECT_EQ(kycmUninitialize(), 0u);
      // Every creation that began before the release finishes first.
      std::vector<uint64_t> seen(kCreators);
      for (int other = 1; other < kCreators; ++other) seen[other] = steps[other].load();
      for (int other = 1; other < kCreators; ++other) {
        while (steps[other].load() == seen[other] && !stress::time_up.load()) std::this_thread::yield();
      }
      std::size_t live = DeviceMemory::instance().block_count(-1);
      for (auto kind : {HandleKind::context, HandleKind::data_buffer, HandleKind::dataset, HandleKind::tensor}) {
        live += HandleRegistry::instance().count(kind);
      }
      if (live != 0) ++leaks;
      ++cycles;
      std::this_thread::yield();
      EXPECT_EQ(kycmInitialize(nullptr), 0u);
    } else if (t >= kCreators) {
      readings(t);
    } else {
      static char host_bytes[64];
      void* handle = nullptr;
      const unsigned kind = random() % 8;  // half of them device memory
      if (kind == 1 && kycmCreateContext(0, &handle) == 0) kycmDestroyContext(handle);
      if (kind == 2 && kycmCreateTensor(kDevice0, shape_of(64), kycmDT_UINT8, &handle) == 0) kycmDestroyTensor(handle);
      if (kind == 3 && kycmCreateDataBuffer({kycmDE_CPU, 0}, host_bytes, sizeof host_bytes, &handle) == 0) {
        kycmDestroyDataBuffer(handle);
      }
      if (kind == 4 && kycmCreateDataset(kycmDM_TENSOR, &handle) == 0) kycmDestroyDataset(handle);
      if ((kind == 0 || kind > 4) && kycmMalloc(4096, &handle) == 0) kycmFree(handle);
      ++steps[t];
    }
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

// A tensor filled and described by a data buffer in a dataset, then a
// context made current, each destroyed again.
void objects_and_contexts(std::minstd_rand& random) {
  void *tensor = nullptr, *buffer = nullptr, *dataset = nullptr, *data = nullptr, *context = nullptr;
  const uint64_t size = block_size(random);
  uint32_t device = 0;
  EXPECT_TRUE(expected(kycmCreateTensor(kDevice0, shape_of(size), kycmDT_UINT8, &tensor)));
  if (kycmGetTensorDataHandle(tensor, &data) == 0) {
    EXPECT_TRUE(expected(kycmMemset(data, 3, size)));
    EXPECT_TRUE(expected(kycmCreateDataBuffer(kDevice0, data, size, &buffer)));
  }
  const uint32_t codes[] = {kycmCreateDataset(kycmDM_TENSOR, &dataset),
                            kycmAddDatasetTensor(dataset, tensor),
                            kycmDestroyDataBuffer(buffer),
                            kycmDestroyDatasetAll(dataset),
                            kycmCreateContext(1, &context),
                            kycmSetCurrentContext(context),
                            kycmGetDevice(&device),
                            kycmDestroyContext(context),
                            kycmSetCurrentContext(nullptr)};
  for (const uint32_t code : codes) EXPECT_TRUE(expected(code)) << code;
}

TEST_F(KycmStress, EverythingAtOnce) {
  // The log goes to a file for the time of the case.
  const std::string log_path = ::testing::TempDir() + "quillon_stress_" + std::to_string(getpid()) + ".log";
  setenv("QUILLON_LOG", log_path.c_str(), 1);
  ASSERT_EQ(runtime_log::open(), 0u);
  std::atomic<int> lifecycles{0};
  run_threads([&](int t, std::minstd_rand& random) {
    const unsigned action = random() % 64;
    if (t < 2 && action % 4 == 0) {
      // Threads 0 and 1 release and re-initialise the runtime now and then;
      // the other's release or initialisation may come first.
      EXPECT_CODE(kycmUninitialize(), 0u, KYCM_NOT_INITIALIZED);
      std::this_thread::yield();
      EXPECT_CODE(kycmInitialize(nullptr), 0u, KYCM_ALREADY_INITIALIZED);
      ++lifecycles;
    } else if (action < 4) {
      EXPECT_TRUE(expected(kycmResetDevice(random() % 2)));
    } else if (action < 24) {
      copy_round_trip(random);
    } else if (action < 48) {
      objects_and_contexts(random);
    } else if (action < 56) {
      readings(t);
    } else {
      EXPECT_EQ(kycmLogMessage(kycmLC_APP, kycmLL_INFO, "stress", __FILE__, __LINE__, "thread %d", t), 0u);
      EXPECT_EQ(kymlLogMsg(KYML_LOG_INFO, "stress", KYML_SUCCESS, "thread %d", t), KYML_SUCCESS);
    }
  });
  unsetenv("QUILLON_LOG");
  EXPECT_EQ(runtime_log::open(), 0u);
  std::remove(log_path.c_str());
  EXPECT_GT(lifecycles.load(), 0);
}

// Large float16 conversions, which split their work with a thread of their
// own, from several threads at once: each caller gets the scalar conversion
// of every value, NaN payloads included, and every half back as it was.
TEST(KycmFloat16, LargeConversionsFromSeveralThreadsAtOnce) {
  constexpr uint32_t kCount = (1u << 22) + 4097;  // split in two halves, and a tail
  std::vector<uint16_t> halves(kCount);
  for (uint32_t i = 0; i < kCount; ++i) halves[i] = static_cast<uint16_t>(i * 7919u);  // every bit pattern
  std::vector<float> expected(kCount);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(kycmFloat16ToFloat32(halves[i], &expected[i]), 0u);
  std::vector<std::vector<float>> floats(3, std::vector<float>(kCount));
  std::vector<std::vector<uint16_t>> back(3, std::vector<uint16_t>(kCount));
  std::vector<std::thread> threads;
  threads.reserve(floats.size());
  for (std::size_t t = 0; t < floats.size(); ++t) {
    threads.emplace_back([&, t] {
      EXPECT_EQ(kycmFloat16ToFloat32Array(halves.data(), kCount, floats[t].data()), 0u);
      EXPECT_EQ(kycmFloat32ToFloat16Array(floats[t].data(), kCount, back[t].data()), 0u);
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < floats.size(); ++t) {
    EXPECT_EQ(std::memcmp(floats[t].data(), expected.data(), kCount * sizeof(float)), 0) << "thread " << t;
    EXPECT_EQ(back[t], halves) << "thread " << t;
  }
}

// Of several initialisations at once exactly one succeeds.
TEST(KycmRuntime, OfConcurrentInitializationsExactlyOneSucceeds) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> go{false};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    threads.reserve(3);
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (kycmInitialize(nullptr) == 0u) ++succeeded;
      });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(succeeded.load(), 1) << "round " << round;
    ASSERT_EQ(kycmUninitialize(), 0u);
  }
}

}  // namespace
