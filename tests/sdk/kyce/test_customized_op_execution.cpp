// Customized ops run through the generic op functions: the example plug-in
// scaling NV12 pictures in device memory after either kind of configuration,
// the refusals of execution, and the plug-in's life.
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

// A 16x8 NV12 picture (12 rows of 16 bytes) whose luma and chroma are
// constant over 2x2 blocks, so halving it bilinearly takes one block a sample.
Bytes blocky_picture() {
  Bytes picture(16 * 12);
  for (int i = 0; i < 16 * 12; ++i) {
    const int y = i / 16, x = i % 16;
    picture[i] = static_cast<uint8_t>(y < 8 ? 10 * (y / 2) + x / 2 : 100 + 20 * ((y - 8) / 2) + x / 4 * 2 + x % 2);
  }
  return picture;
}

int64_t g_in_shape[8] = {4, 1, 3, 8, 16, 0, 0, 0};
int64_t g_out_shape[8] = {4, 1, 3, 4, 8, 0, 0, 0};
int32_t one() { return 1; }
int32_t hundred() { return 100; }
const int64_t* in_shape(int32_t) { return g_in_shape; }
const int64_t* out_shape(int32_t) { return g_out_shape; }
template <class Function>
void* slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

class CustomizedOpExecution : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kycmInitialize(nullptr), 0u);
    ASSERT_EQ(kyceLoadCustomizedOps(KYCE_EXAMPLE_PLUGIN, &info_), 0u);
    ASSERT_EQ(kyceCreateCustomizedOp(info_, "nv12_scale", &op_), 0u);
  }
  void TearDown() override {
    kyceDestroyOp(op_);
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
  uint32_t configure(float scale) {  // 16x8 to 8x4
    kyceCustomCfgExample block{{8, 16, 8, 16}, {4, 8, 4, 8}, scale};
    return kyceSetCustomizedOpConfig(op_, &block, sizeof block);
  }

  void* info_ = nullptr;
  void* op_ = nullptr;
  std::vector<void*> blocks_;
};

// The 8x4 picture the op should make: every `step`-th sample of the input
// from the luma corner (x0, y0).
Bytes sampled(const Bytes& picture, int x0, int y0, int step) {
  Bytes out(8 * 4 * 3 / 2);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      out[y * 8 + x] = picture[(y0 + step * y) * 16 + x0 + step * x];
      if (y < 2) out[32 + y * 8 + x] = picture[128 + (y0 / 2 + step * y) * 16 + x0 + step * (x / 2) * 2 + x % 2];
    }
  }
  return out;
}

TEST_F(CustomizedOpExecution, BothConfigurationsScaleThePicture) {
  const Bytes picture = blocky_picture();
  void* input = upload(picture);
  void* output = upload(Bytes(48));
  ASSERT_EQ(configure(1.0F), 0u);
  ASSERT_EQ(kyceExecuteOp(op_, input, output), 0u);
  EXPECT_EQ(download(output, 48), sampled(picture, 0, 0, 2));

  void* callbacks[] = {slot(&one),     slot(&in_shape), slot(&one), slot(&out_shape),
                       slot(&hundred), slot(&hundred),  nullptr};
  void* cleared = upload(Bytes(48));
  ASSERT_EQ(kyceSetCustomizedOpCfgCallback(op_, callbacks), 0u);
  ASSERT_EQ(kyceExecuteOp(op_, input, cleared), 0u);
  EXPECT_EQ(download(cleared, 48), sampled(picture, 0, 0, 2));

  // A zoom of 2 shows the centre 8x4 at its own size: a plain copy of it.
  ASSERT_EQ(configure(2.0F), 0u);
  ASSERT_EQ(kyceExecuteOp(op_, input, output), 0u);
  EXPECT_EQ(download(output, 48), sampled(picture, 4, 2, 1));
  // The same block as input and output reads the picture as it was.
  ASSERT_EQ(kyceExecuteOp(op_, input, input), 0u);
  EXPECT_EQ(download(input, 48), sampled(picture, 4, 2, 1));
}

TEST_F(CustomizedOpExecution, RefusalsLeaveTheOutputAlone) {
  void* input = upload(blocky_picture());
  void* small = upload(Bytes(47, 0xA5));
  Bytes host(256);
  EXPECT_EQ(kyce::execute_customized_op(op_, input, small), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));  // unset
  ASSERT_EQ(configure(1.0F), 0u);
  EXPECT_EQ(kyce::execute_customized_op(op_, input, small), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));
  EXPECT_EQ(download(small, 47), Bytes(47, 0xA5));
  EXPECT_EQ(kyce::execute_customized_op(op_, input, host.data()), static_cast<uint32_t>(kyceER_INVALID_MEMORY));
  EXPECT_EQ(kyce::execute_customized_op(op_, nullptr, small), static_cast<uint32_t>(kyceER_NULL_ARGUMENT));
  EXPECT_EQ(kyce::execute_customized_op(info_, input, small), static_cast<uint32_t>(kyceER_INVALID_HANDLE));
  EXPECT_EQ(kyceSetCustomizedOpConfig(op_, host.data(), 35), static_cast<uint32_t>(kyceER_PLUGIN_FAILED));
  void* endless[KYCE_MAX_CFG_CALLBACKS + 2];
  for (void*& entry : endless) entry = slot(&one);
  EXPECT_EQ(kyceSetCustomizedOpCfgCallback(op_, endless), static_cast<uint32_t>(kyceER_INVALID_PARAMETER));
}

TEST_F(CustomizedOpExecution, AnOpOutlivesItsInfoAndThenClosesThePlugIn) {
  ASSERT_EQ(kyceUnloadCustomizedOps(info_), 0u);
  ASSERT_EQ(kyceDestroyCustomizedOpInfo(info_), 0u);
  ASSERT_EQ(configure(1.0F), 0u);
  ASSERT_EQ(kyceExecuteOp(op_, upload(blocky_picture()), upload(Bytes(48))), 0u);
  int64_t value = 0;
  EXPECT_EQ(kyceGetOpAttr(op_, "scale", kyceDT_INT, &value), static_cast<uint32_t>(kyceER_ATTR_NAME));
  ASSERT_EQ(kyceDestroyOp(op_), 0u);
  EXPECT_FALSE(kyce::is_customized_op(op_));
  EXPECT_EQ(kyce::destroy_customized_op(op_), static_cast<uint32_t>(kyceER_INVALID_HANDLE));
  void* still = dlopen(KYCE_EXAMPLE_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr);
  if (still != nullptr) dlclose(still);
}

}  // namespace
