// Customized ops run through the calls the generic op functions use: the
// example plug-in scaling NV12 pictures in device memory after either kind
// of configuration, the refusals of execution, and the plug-in's life.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kyce.h"
#include "kyce/customized_ops.h"
#include "kyce_plugin.h"
#include "kycm.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 16x8 NV12 picture whose luma and chroma are constant over 2x2 blocks, so
// that halving it with bilinear filtering gives exactly one block a sample.
Bytes blocky_picture() {
  Bytes picture(16 * 8 * 3 / 2);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) picture[y * 16 + x] = static_cast<uint8_t>(10 * (y / 2) + x / 2);
  }
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 16; ++x)
      picture[128 + y * 16 + x] = static_cast<uint8_t>(100 + 20 * (y / 2) + x / 4 * 2 + x % 2);
  }
  return picture;
}

int64_t g_in_shape[8] = {4, 1, 3, 8, 16, 0, 0, 0};
int64_t g_out_shape[8] = {4, 1, 3, 4, 8, 0, 0, 0};
int32_t one() { return 1; }
int32_t hundred() { return 100; }
const int64_t* in_shape(int32_t) { return g_in_shape; }
const int64_t* out_shape(int32_t) { return g_out_shape; }

class CustomizedOpExecution : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kycmInitialize(nullptr), 0u);
    ASSERT_EQ(kyceLoadCustomizedOps(KYCE_EXAMPLE_PLUGIN, &info_), 0u);
    ASSERT_EQ(kyceCreateCustomizedOp(info_, "nv12_scale", &op_), 0u);
  }
  void TearDown() override {
    kyce::destroy_customized_op(op_);
    kyceUnloadCustomizedOps(info_);
    kyceDestroyCustomizedOpInfo(info_);
    for (void* block : blocks_) kycmFree(block);
    kycmUninitialize();
  }

  void* upload(const Bytes& bytes) {
    void* block = nullptr;
    EXPECT_EQ(kycmMalloc(bytes.size(), &block), 0u);
    EXPECT_EQ(kycmMemcpy(bytes.data(), block, bytes.size(), kycmCT_COPY_TO_DEVICE), 0u);
    blocks_.push_back(block);
    return block;
  }
  static Bytes download(void* block, std::size_t size) {
    Bytes bytes(size);
    EXPECT_EQ(kycmMemcpy(block, bytes.data(), size, kycmCT_COPY_FROM_DEVICE), 0u);
    return bytes;
  }
  uint32_t configure(int out_w, int out_h, float scale) {
    kyceCustomCfgExample block{{8, 16, 8, 16}, {out_h, out_w, out_h, out_w}, scale};
    return kyceSetCustomizedOpConfig(op_, &block, sizeof block);
  }

  void* info_ = nullptr;
  void* op_ = nullptr;
  std::vector<void*> blocks_;
};

TEST_F(CustomizedOpExecution, BothConfigurationsScaleThePicture) {
  const Bytes picture = blocky_picture();
  void* input = upload(picture);
  void* output = upload(Bytes(8 * 4 * 3 / 2));
  Bytes halved(8 * 4 * 3 / 2);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) halved[y * 8 + x] = picture[2 * y * 16 + 2 * x];
  }
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 8; ++x) halved[32 + y * 8 + x] = picture[128 + 2 * y * 16 + x / 2 * 4 + x % 2];
  }

  ASSERT_EQ(configure(8, 4, 1.0F), 0u);
  ASSERT_EQ(kyce::execute_customized_op(op_, input, output), 0u);
  EXPECT_EQ(download(output, halved.size()), halved);

  void* callbacks[] = {reinterpret_cast<void*>(&one),
                       reinterpret_cast<void*>(&in_shape),
                       reinterpret_cast<void*>(&one),
                       reinterpret_cast<void*>(&out_shape),
                       reinterpret_cast<void*>(&hundred),
                       reinterpret_cast<void*>(&hundred),
                       nullptr};
  void* cleared = upload(Bytes(halved.size()));
  ASSERT_EQ(kyceSetCustomizedOpCfgCallback(op_, callbacks), 0u);
  ASSERT_EQ(kyce::execute_customized_op(op_, input, cleared), 0u);
  EXPECT_EQ(download(cleared, halved.size()), halved);

  // A zoom of 2 shows the centre 8x4 at its own size: a plain copy of it.
  Bytes centre(8 * 4 * 3 / 2);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) centre[y * 8 + x] = picture[(y + 2) * 16 + x + 4];
  }
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 8; ++x) centre[32 + y * 8 + x] = picture[128 + (y + 1) * 16 + x + 4];
  }
  ASSERT_EQ(configure(8, 4, 2.0F), 0u);
  ASSERT_EQ(kyce::execute_customized_op(op_, input, output), 0u);
  EXPECT_EQ(download(output, centre.size()), centre);

  // The same block as input and output reads the picture as it was.
  ASSERT_EQ(kyce::execute_customized_op(op_, input, input), 0u);
  EXPECT_EQ(download(input, centre.size()), centre);
}

TEST_F(CustomizedOpExecution, RefusalsLeaveTheOutputAlone) {
  void* input = upload(blocky_picture());
  void* small = upload(Bytes(47, 0xA5));
  Bytes host(256);
  EXPECT_EQ(kyce::execute_customized_op(op_, input, small), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));  // unset
  ASSERT_EQ(configure(8, 4, 1.0F), 0u);
  EXPECT_EQ(kyce::execute_customized_op(op_, input, small), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));
  EXPECT_EQ(download(small, 47), Bytes(47, 0xA5));
  EXPECT_EQ(kyce::execute_customized_op(op_, input, host.data()), static_cast<uint32_t>(kyceER_INVALID_MEMORY));
  EXPECT_EQ(kyce::execute_customized_op(op_, nullptr, small), static_cast<uint32_t>(kyceER_NULL_ARGUMENT));
  EXPECT_EQ(kyce::execute_customized_op(info_, input, small), static_cast<uint32_t>(kyceER_INVALID_HANDLE));
  EXPECT_EQ(kyceSetCustomizedOpConfig(op_, host.data(), 35), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));
  void* endless[KYCE_MAX_CFG_CALLBACKS + 2];
  for (void*& slot : endless) slot = reinterpret_cast<void*>(&one);
  EXPECT_EQ(kyceSetCustomizedOpCfgCallback(op_, endless), static_cast<uint32_t>(kyceER_INVALID_PARAMETER));
}

TEST_F(CustomizedOpExecution, AnOpOutlivesItsInfoAndThenClosesThePlugIn) {
  ASSERT_EQ(kyceUnloadCustomizedOps(info_), 0u);
  ASSERT_EQ(kyceDestroyCustomizedOpInfo(info_), 0u);
  ASSERT_EQ(configure(8, 4, 1.0F), 0u);
  ASSERT_EQ(kyce::execute_customized_op(op_, upload(blocky_picture()), upload(Bytes(48))), 0u);
  EXPECT_TRUE(kyce::is_customized_op(op_));
  ASSERT_EQ(kyce::destroy_customized_op(op_), 0u);
  EXPECT_FALSE(kyce::is_customized_op(op_));
  EXPECT_EQ(kyce::destroy_customized_op(op_), static_cast<uint32_t>(kyceER_INVALID_HANDLE));
  void* still = dlopen(KYCE_EXAMPLE_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr);
  if (still != nullptr) dlclose(still);
}

}  // namespace
