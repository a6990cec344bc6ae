// Test control: armed counts run out, the journal records argument values,
// and disarmed calls take the fast path.
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

TEST_F(TestControl, JournalRecordsArgumentValues) {
  kycore::set_journal(true);
  char buffer[8] = {};
  kycmGetErrDesc(4000000000u, buffer, sizeof buffer);
  kycmInitialize(nullptr);
  kycmInitialize("cfg");
  kycmUninitialize();
  const auto calls = kycore::journal();
  ASSERT_EQ(calls.size(), 4u);
  ASSERT_EQ(calls[0].args.size(), 3u);
  EXPECT_EQ(calls[0].args[0].kind, kycore::Arg::Kind::unsigned_integer);
  EXPECT_EQ(calls[0].args[0].bits, 4000000000u);
  EXPECT_EQ(calls[0].args[1].kind, kycore::Arg::Kind::pointer);  // an output buffer is never read
  EXPECT_FALSE(calls[0].args[1].is_null);
  EXPECT_TRUE(calls[1].args[0].is_null);
  EXPECT_EQ(calls[2].args[0].text, "cfg");
  EXPECT_TRUE(calls[3].args.empty());
  kycore::clear_journal();
  EXPECT_TRUE(kycore::journal().empty());
}

TEST_F(TestControl, SignedValuesKeepTheirSign) {
  const kycore::Arg arg(int32_t{-5});
  EXPECT_EQ(arg.kind, kycore::Arg::Kind::signed_integer);
  EXPECT_EQ(static_cast<int64_t>(arg.bits), -5);
}

}  // namespace
