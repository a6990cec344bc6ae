// libkycm's data buffers, datasets and tensors through the C interface: what
// the Python tests cannot reach (null out-parameters, shapes passed by value,
// the life of owned memory across runtime release).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kycm.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kycore/host_memory.h"

namespace {

class KycmObjects : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kycmInitialize(nullptr), 0u); }
  void TearDown() override { kycmUninitialize(); }

  static kycmShape shape_of(std::initializer_list<int64_t> dims) {
    kycmShape shape{};
    for (int64_t d : dims) shape.dims[shape.ndims++] = d;
    return shape;
  }
  const kycmDeviceInfo device0{kycmDE_KYCC, 0};
  const kycmDeviceInfo host{kycmDE_CPU, 0};
};

TEST_F(KycmObjects, NullOutputsAndUnknownHandlesAreRefused) {
  EXPECT_EQ(kycmCreateDataset(kycmDM_BUFFER, nullptr), kycore::KYCM_INVALID_ARGUMENT);
  EXPECT_EQ(kycmCreateTensor(device0, shape_of({1}), kycmDT_UINT8, nullptr), kycore::KYCM_INVALID_ARGUMENT);
  void* dataset = nullptr;
  ASSERT_EQ(kycmCreateDataset(kycmDM_TENSOR, &dataset), 0u);
  EXPECT_EQ(kycmGetDatasetTensorCount(dataset, nullptr), kycore::KYCM_INVALID_ARGUMENT);
  uint64_t size = 0;
  // A dataset is not a tensor, and a made-up pointer is nothing.
  EXPECT_EQ(kycmGetTensorSize(dataset, &size), kycore::KYCM_INVALID_HANDLE);
  int local = 0;
  EXPECT_EQ(kycmDestroyTensor(&local), kycore::KYCM_INVALID_HANDLE);
  EXPECT_EQ(kycmCreateDataset(static_cast<kycmDatasetMode>(5), &dataset), kycore::KYCM_INVALID_ARGUMENT);
}

TEST_F(KycmObjects, ShapesAndTypesAreChecked) {
  void* tensor = nullptr;
  EXPECT_EQ(kycmCreateTensor(device0, shape_of({INT64_MAX, 4}), kycmDT_UINT8, &tensor), kycore::KYCM_INVALID_SHAPE);
  EXPECT_EQ(kycmCreateTensor(kycmDeviceInfo{static_cast<kycmDeviceType>(3), 0}, shape_of({4}), kycmDT_UINT8, &tensor),
            kycore::KYCM_INVALID_DEVICE_TYPE);
  EXPECT_EQ(tensor, nullptr);

  ASSERT_EQ(kycmCreateTensor(device0, shape_of({2, 3}), kycmDT_BFLOAT, &tensor), 0u);
  kycmShape read{};
  ASSERT_EQ(kycmGetTensorShape(tensor, &read), 0u);
  EXPECT_EQ(read.ndims, 2u);
  EXPECT_EQ(read.dims[2], 0);  // slots past ndims are zero
  EXPECT_EQ(kycmSetTensorShape(tensor, nullptr), kycore::KYCM_INVALID_ARGUMENT);
  EXPECT_EQ(kycmDestroyTensor(tensor), 0u);
}

TEST_F(KycmObjects, OwnedMemoryFollowsItsTensor) {
  auto& memory = kycore::DeviceMemory::instance();
  const uint64_t before = memory.used(0);
  void *block = nullptr, *tensor = nullptr;
  ASSERT_EQ(memory.allocate(0, 256, kycore::BlockOwner::runtime, &block), 0u);
  // Only the start of a whole runtime block can change hands.
  EXPECT_EQ(kycmCreateTensorWithDataHandle(device0, shape_of({16}), kycmDT_UINT8, static_cast<char*>(block) + 16, true,
                                           &tensor),
            kycore::KYCM_INVALID_ADDRESS);
  ASSERT_EQ(kycmCreateTensorWithDataHandle(device0, shape_of({256}), kycmDT_UINT8, block, true, &tensor), 0u);
  EXPECT_EQ(memory.used(0), before + 256);
  // Releasing the runtime releases the tensor and, with it, the memory.
  kycmUninitialize();
  EXPECT_EQ(memory.used(0), before);
  ASSERT_EQ(kycmInitialize(nullptr), 0u);
}

// A free racing a tensor that takes the same block: each block must end with
// exactly one of them, never freed by the caller while a tensor owns it.
TEST_F(KycmObjects, AFreeRacingATakeoverReleasesTheBlockOnce) {
  constexpr int kBlocks = 20000;
  const std::size_t blocks_before = kycore::HostMemory::instance().block_count();
  std::atomic<void*> offered{nullptr};
  std::atomic<bool> done{false};
  int freed = 0;
  std::thread caller([&] {
    while (!done.load()) {
      void* block = offered.exchange(nullptr);
      if (block != nullptr && kycmFreeHost(block) == 0u) ++freed;
    }
  });
  int released_here = 0;  // by a tensor, or freed by this thread
  for (int i = 0; i < kBlocks; ++i) {
    void* block = nullptr;
    ASSERT_EQ(kycmMallocHost(64, &block), 0u);
    offered.store(block);
    void* tensor = nullptr;
    if (kycmCreateTensorWithDataHandle(host, shape_of({64}), kycmDT_UINT8, block, true, &tensor) == 0u) {
      ++released_here;
      ASSERT_EQ(kycmDestroyTensor(tensor), 0u);
    }
    offered.store(nullptr);
    // Not taken and not yet freed by the other thread: free it here.
    if (kycore::HostMemory::instance().is_block_start(block) && kycmFreeHost(block) == 0u) ++released_here;
  }
  done.store(true);
  caller.join();
  EXPECT_EQ(released_here + freed, kBlocks);
  EXPECT_EQ(kycore::HostMemory::instance().block_count(), blocks_before);
}

TEST_F(KycmObjects, AnUpdatedBufferGoesWithTheDeviceItNowDescribes) {
  void *on_zero = nullptr, *on_one = nullptr, *buffer = nullptr;
  ASSERT_EQ(kycmMalloc(16, &on_zero), 0u);
  ASSERT_EQ(kycmSetDevice(1), 0u);
  ASSERT_EQ(kycmMalloc(16, &on_one), 0u);
  ASSERT_EQ(kycmCreateDataBuffer(device0, on_zero, 16, &buffer), 0u);
  ASSERT_EQ(kycmUpdateDataBuffer(buffer, kycmDeviceInfo{kycmDE_KYCC, 1}, on_one, 16), 0u);
  ASSERT_EQ(kycmResetDevice(0), 0u);
  uint64_t size = 0;
  EXPECT_EQ(kycmGetDataBufferSize(buffer, &size), 0u);
  ASSERT_EQ(kycmResetDevice(1), 0u);
  EXPECT_EQ(kycmGetDataBufferSize(buffer, &size), kycore::KYCM_INVALID_HANDLE);
}

}  // namespace
