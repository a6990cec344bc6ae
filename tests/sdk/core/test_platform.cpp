// Platform configuration: the default, the accepted shapes, and clear codes
// for everything malformed.
#include <gtest/gtest.h>

#include "kycore/error_codes.h"
#include "kycore/platform.h"

using kycore::parse_platform;

namespace {

// The default's two devices and bus id are read through kycm in the Python tests.
TEST(Platform, DefaultManagementFields) {
  const auto platform = kycore::default_platform();
  EXPECT_EQ(platform.node_major, 508u);
  EXPECT_EQ(platform.cards[0].uuid.size(), 32u);
  EXPECT_EQ(platform.cards[0].ai_capability, 128u);
  EXPECT_EQ(platform.cards[0].video_capability, 64u);
}

// Card ids, bus ids and die numbering are read back through kyml in the
// Python tests; the die fields and device lookup only here.
TEST(Platform, CardsWithDieListsNumberDevicesCardByCard) {
  const auto result = parse_platform(R"({
    "cards": [{"dies": [{"memory_mib": 1024}, {"memory_mib": 2048, "decode_channels": 8}]}, {"dies": 3}]})");
  ASSERT_EQ(result.code, 0u) << result.message;
  const auto& p = result.platform;
  EXPECT_EQ(p.device(1)->memory_bytes, 2048ull << 20);
  EXPECT_EQ(p.device(1)->decode_channels, 8u);
  std::size_t card = 9, die = 9;
  ASSERT_TRUE(p.locate(4, &card, &die));
  EXPECT_EQ(card, 1u);
  EXPECT_EQ(die, 2u);
  EXPECT_FALSE(p.locate(5, &card, &die));
  EXPECT_EQ(p.device(5), nullptr);
}

TEST(Platform, CountShorthandAndDieDefaults) {
  const auto result = parse_platform(R"({"cards": 3, "dies_per_card": 4, "die": {"memory_mib": 64}})");
  ASSERT_EQ(result.code, 0u) << result.message;
  EXPECT_EQ(result.platform.device(11)->memory_bytes, 64ull << 20);
  EXPECT_NE(result.platform.cards[0].pci_bus_id, result.platform.cards[1].pci_bus_id);
}

TEST(Platform, MalformedJsonIsASyntaxError) {
  for (const char* text : {"", "{", "{\"cards\": [}", "nul", "{\"cards\": 1,}", "\xff\xfe"}) {
    const auto result = parse_platform(text);
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_SYNTAX) << text;
    EXPECT_FALSE(result.message.empty());
  }
}

TEST(Platform, WrongValuesAreInvalidWithAReason) {
  const char* cases[] = {
      "[]",
      R"({"cards": 0})",
      R"({"cards": "two"})",
      R"({"cards": []})",
      R"({"cards": [{"dies": 5}]})",
      R"({"cards": [{"dies": []}]})",
      R"({"cards": [{"dies": [{"memory_mib": 0}]}]})",
      R"({"cards": [{"pci_bus_id": "3b:00.0"}]})",
      R"({"cards": [{"card_id": 65536}]})",
      R"({"cards": [{"card_id": 1}, {"card_id": 1}]})",
      R"({"cards": [{"name": 7}]})",
      R"({"cardz": 2})",
      R"({"cards": [{"dies": [{"memory": 5}]}]})",
      R"({"cards": [{"uuid": "0123456789abcdef0123456789abcdef0"}]})",
      R"({"cards": [{"name": "a card type name of 32 bytes...."}]})",
      R"({"cards": [{"uuid": "u", "card_id": 1}, {"uuid": "u", "card_id": 2}]})",
      R"({"node_major": 0})",
      R"({"driver_version": ""})",
      R"({"cards": [{"ai_capability": -1}]})",
  };
  for (const char* text : cases) {
    const auto result = parse_platform(text);
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << text;
    EXPECT_FALSE(result.message.empty()) << text;
  }
}

TEST(Platform, FilesAndConfigurationTexts) {
  EXPECT_EQ(kycore::load_platform_file("/nonexistent/platform.json").code, kycore::KYCM_CONFIG_UNREADABLE);
  EXPECT_EQ(kycore::load_platform_file("/").code, kycore::KYCM_CONFIG_UNREADABLE);
  // Blanks before the brace still make it configuration text, not a file name.
  const auto inline_json = kycore::resolve_platform(R"(  {"dies_per_card": 1})");
  ASSERT_EQ(inline_json.code, 0u);
  EXPECT_EQ(inline_json.platform.device_count(), 1u);
}

TEST(ErrorCodes, EveryCodeHasADescription) {
  std::size_t count = 0;
  const auto* table = kycore::code_table(&count);
  ASSERT_GT(count, 1u);
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_NE(table[i].description[0], '\0') << table[i].name;
    EXPECT_EQ(kycore::find_code(table[i].code), &table[i]) << "duplicate code " << table[i].code;
  }
  EXPECT_EQ(kycore::find_code(123456789), nullptr);
}

}  // namespace
