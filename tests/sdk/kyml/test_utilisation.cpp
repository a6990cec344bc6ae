// Utilisation read by the management library follows the busy time the
// engines charge to their die: nothing else moves it, running work counts
// while it runs, and work leaves the reading once the interval has passed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kycore/busy_time.h"
#include "kycore/platform.h"
#include "kyml.h"

namespace {

using kycore::BusyScope;
using kycore::Engine;

class Utilisation : public ::testing::Test {
 protected:
  void SetUp() override {
    kycore::install_platform(kycore::default_platform());
    kycore::clear_busy();
    kymlShutDown();
    ASSERT_EQ(kymlInit(), KYML_SUCCESS);
    uint64_t card = 0;
    ASSERT_EQ(kymlGetCardHandleByIndex(0, &card), KYML_SUCCESS);
    ASSERT_EQ(kymlGetDieHandleByIndex(card, 0, &die0_), KYML_SUCCESS);
    ASSERT_EQ(kymlGetDieHandleByIndex(card, 1, &die1_), KYML_SUCCESS);
  }
  void TearDown() override {
    kymlShutDown();
    kycore::clear_busy();
  }

  static kymlUtilizationRate_struct rate(uint64_t die) {
    kymlUtilizationRate_struct r{};
    EXPECT_EQ(kymlGetUtilizationRate(die, &r), KYML_SUCCESS);
    return r;
  }
  static kymlMcuUtilizationRate_struct cores(uint64_t die) {
    kymlMcuUtilizationRate_struct r{};
    EXPECT_EQ(kymlGetMcuUtilizationRate(die, &r), KYML_SUCCESS);
    return r;
  }

  uint64_t die0_ = 0;
  uint64_t die1_ = 0;
};

TEST_F(Utilisation, WorkShowsOnItsDieEngineAndCoreOnly) {
  for (uint64_t die : {die0_, die1_}) {  // idle dies read zero everywhere
    const auto c = cores(die);
    int sum = c.ai;
    for (int v : c.vdsp) sum += v;
    for (int v : c.vemcu) sum += v;
    for (int v : c.vdmcu) sum += v;
    EXPECT_EQ(sum, 0);
  }
  {
    // Decoder work on core 4 of device 1 (three decoder cores: core 1), AI work on device 1.
    const BusyScope decode(1, Engine::decoder, 4);
    const BusyScope infer(1, Engine::ai);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto c = cores(die1_);
    EXPECT_GE(c.vdmcu[1], 30);  // it ran for at least 300 ms of the last second
    EXPECT_EQ(c.vdmcu[0] + c.vdmcu[2], 0);
    EXPECT_GE(c.ai, 30);
    const auto r = rate(die1_);
    EXPECT_GE(r.vdmcu, 10);  // the average of the three cores
    EXPECT_EQ(r.vemcu + r.vdsp, 0);
    const auto idle = rate(die0_);
    EXPECT_EQ(idle.ai + idle.vdsp + idle.vemcu + idle.vdmcu, 0);
  }
  // Finished work still counts within the interval, and is gone after it.
  EXPECT_GE(cores(die1_).vdmcu[1], 30);
  std::this_thread::sleep_for(kycore::kBusyInterval + std::chrono::milliseconds(50));
  const auto r = rate(die1_);
  EXPECT_EQ(r.ai + r.vdmcu, 0);
}

TEST_F(Utilisation, OverlappingWorkOnOneCoreReadsAtMostFullLoad) {
  const BusyScope first(0, Engine::vdsp, 2);
  const BusyScope second(0, Engine::vdsp, 6);
  kycore::add_busy(0, Engine::vdsp, 2, kycore::BusyClock::now() - std::chrono::seconds(5));
  EXPECT_EQ(cores(die0_).vdsp[2], 100);
  EXPECT_EQ(rate(die0_).vdsp, 25);
}

}  // namespace
