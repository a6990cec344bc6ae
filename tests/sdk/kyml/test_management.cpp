// The management library's C interface: argument checks, buffer limits and
// handles, which the Python bindings never exercise with bad pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kycore/platform.h"
#include "kyml.h"

namespace {

class Kyml : public ::testing::Test {
 protected:
  void SetUp() override {
    auto result = kycore::parse_platform(R"({"cards": [{"card_id": 9, "dies": 3}, {"card_id": 4, "dies": 1}]})");
    ASSERT_EQ(result.code, 0u);
    kycore::install_platform(result.platform);
    kymlShutDown();
    ASSERT_EQ(kymlInit(), KYML_SUCCESS);
  }
  void TearDown() override {
    kymlShutDown();
    kycore::install_platform(kycore::default_platform());
  }
};

TEST_F(Kyml, NullOutputsAreRefused) {
  uint64_t handle = 0;
  EXPECT_EQ(kymlGetCardCount(nullptr), KYML_ERROR_INPUT_PARAMETER_NULL);
  EXPECT_EQ(kymlGetCardHandleByIndex(0, nullptr), KYML_ERROR_INPUT_PARAMETER_NULL);
  ASSERT_EQ(kymlGetCardHandleByIndex(0, &handle), KYML_SUCCESS);
  EXPECT_EQ(kymlGetPciInfo(handle, nullptr), KYML_ERROR_INPUT_PARAMETER_NULL);
  uint64_t die = 0;
  ASSERT_EQ(kymlGetDieHandleByIndex(handle, 2, &die), KYML_SUCCESS);
  EXPECT_EQ(kymlGetTemperature(die, nullptr), KYML_ERROR_INPUT_PARAMETER_NULL);
  EXPECT_EQ(kymlGetRunningProcesses(die, nullptr, nullptr, 64), KYML_ERROR_INPUT_PARAMETER_NULL);
  EXPECT_EQ(kymlGetAiDevInfo(nullptr, 2), KYML_ERROR_INPUT_PARAMETER_NULL);
  EXPECT_EQ(kymlGetAiDevInfo(nullptr, 0), KYML_SUCCESS);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_INFO, "m", KYML_SUCCESS, nullptr), KYML_ERROR_INPUT_PARAMETER_NULL);
  EXPECT_EQ(kymlSetLogLevel(static_cast<kymlLogLevel_enum>(7)), KYML_ERROR_INPUT_PARAMETER_ERROR);
}

TEST_F(Kyml, SmallBuffersAreReportedNotOverrun) {
  std::vector<kymlCardInfo_struct> cards(2);
  std::memset(&cards[1], 0xAB, sizeof cards[1]);
  uint32_t count = 0;
  EXPECT_EQ(kymlGetCardInfo(&count, cards.data(), 1), KYML_USER_BUF_INSUFFICIENT);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(cards[0].cardId, 9);
  EXPECT_EQ(cards[1].cardId, 0xABAB);  // untouched

  uint64_t card = 0;
  ASSERT_EQ(kymlGetCardHandleByCardId(9, &card), KYML_SUCCESS);
  char uuid[64];
  std::memset(uuid, 'x', sizeof uuid);
  EXPECT_EQ(kymlGetUUID(card, uuid, 32), KYML_USER_BUF_INSUFFICIENT);
  EXPECT_EQ(uuid[0], 'x');
  EXPECT_EQ(kymlGetUUID(card, uuid, 33), KYML_SUCCESS);
  EXPECT_EQ(std::strlen(uuid), 32u);

  std::vector<kymlDieBaseInfo_struct> dies(3);
  EXPECT_EQ(kymlGetDieInfo(card, dies.data(), &count, 2), KYML_USER_BUF_INSUFFICIENT);
  EXPECT_EQ(count, 2u);
}

TEST_F(Kyml, HandlesOfOneKindAreRefusedAsAnother) {
  uint64_t card = 0, die = 0;
  ASSERT_EQ(kymlGetCardHandleByCardId(4, &card), KYML_SUCCESS);
  ASSERT_EQ(kymlGetDieHandleByIndex(card, 0, &die), KYML_SUCCESS);
  uint32_t count = 0;
  EXPECT_EQ(kymlGetDieCount(die, &count), KYML_ERROR_INPUT_PARAMETER_ERROR);
  kymlPower_struct power{};
  EXPECT_EQ(kymlGetPower(card, &power), KYML_ERROR_INPUT_PARAMETER_ERROR);
  EXPECT_EQ(kymlGetDieHandleByIndex(card, 1, &die), KYML_ERROR_CARD_NOTFOUND);
  // A well-formed handle of a card that is no longer configured.
  kycore::install_platform(kycore::default_platform());
  EXPECT_EQ(kymlGetDieCount(card, &count), KYML_ERROR_CARD_NOTFOUND);
}

TEST_F(Kyml, ADieIndexMustMatchItsDeviceNumber) {
  uint64_t by_word = 0;
  ASSERT_EQ(kymlGetDieHandleByDieIndex(2u | (9u << 8) | (2u << 24), &by_word), KYML_SUCCESS);
  EXPECT_EQ(kymlGetDieHandleByDieIndex(2u | (9u << 8) | (5u << 24), &by_word), KYML_ERROR_CARD_NOTFOUND);
}

}  // namespace
