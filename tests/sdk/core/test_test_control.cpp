// Test control: armed counts run out and disarmed calls take the fast path.
// The journal's argument values are read in nearly every Python test.
#include <gtest/gtest.h>

#include "kycm.h"
#include "kycore/test_control.h"

namespace {

class TestControl : public ::testing::Test {
 protected:
  void SetUp() override { kycore::reset_control(); }
  void TearDown() override { kycore::reset_control(); }
};

TEST_F(TestControl, FailureArmedForACountThenDisarms) {
  EXPECT_FALSE(kycore::control_active());
  kycore::arm_failure("kycmGetVersion", 77, 2);
  EXPECT_TRUE(kycore::control_active());
  const char* text = "untouched";
  EXPECT_EQ(kycmGetVersion(&text, nullptr, nullptr, nullptr, nullptr), 77u);
  EXPECT_STREQ(text, "untouched");  // a failing call does nothing else
  EXPECT_EQ(kycmGetVersion(&text, nullptr, nullptr, nullptr, nullptr), 77u);
  EXPECT_EQ(kycmGetVersion(&text, nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_NE(text, nullptr);
  EXPECT_FALSE(kycore::control_active());
}

TEST_F(TestControl, EmptyResultNullsOutputs) {
  kycore::arm_empty("kycmGetVersion", -1);
  for (int i = 0; i < 3; ++i) {
    const char* text = "x";
    EXPECT_EQ(kycmGetVersion(&text, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(text, nullptr);
  }
}

}  // namespace
