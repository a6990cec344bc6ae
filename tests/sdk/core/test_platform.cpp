// Platform configuration: the accepted shapes, and clear codes for everything
// malformed (a PCI bus id is hex digits within each field's range, and no
// text holds a NUL, so texts reach the C records as they are).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kycore/error_codes.h"
#include "kycore/platform.h"

using kycore::parse_platform;

namespace {

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

kycore::PlatformResult card_with(const std::string& field) {
  return kycore::parse_platform(R"({"cards": [{)" + field + "}]}");
}

TEST(Platform, WrongValuesAreInvalidWithAReason) {
  std::vector<kycore::PlatformResult> results;
  for (const char* text :
       {"[]", R"({"cards": 0})", R"({"cards": "two"})", R"({"cards": []})", R"({"cardz": 2})", R"({"node_major": 0})",
        R"({"driver_version": ""})", R"({"cards": [{"card_id": 1}, {"card_id": 1}]})",
        R"({"cards": [{"uuid": "u", "card_id": 1}, {"uuid": "u", "card_id": 2}]})"}) {
    results.push_back(parse_platform(text));
  }
  for (const char* card :
       {R"("dies": 5)", R"("dies": [])", R"("dies": [{"memory_mib": 0}])", R"("dies": [{"memory": 5}])",
        R"("pci_bus_id": "3b:00.0")", R"("card_id": 65536)", R"("name": 7)", R"("ai_capability": -1)",
        R"("uuid": "0123456789abcdef0123456789abcdef0")", R"("name": "a card type name of 32 bytes....")"}) {
    results.push_back(card_with(card));
  }
  for (const auto& result : results) {
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << result.message;
    EXPECT_FALSE(result.message.empty());
  }
}

TEST(Platform, MalformedBusIdsAndTextsHoldingANulAreRefusedWithTheFieldAtFault) {
  const std::pair<std::string, const char*> cases[] = {
      {"-001:-1:00.0", "domain"}, {" +1: 3b:0x.0", "domain"}, {"00000:3b:00.0", "domain"},
      {"0:+3b:0.0", "bus"},       {"0:3b:20.0", "device"},    {"0:3b:0x.0", "device"},
      {"0:3b:0.8", "function"},   {"0:3b:0.0 ", "function"},  {"0:3b:0", "look like"},
  };
  for (const auto& [bus_id, reason] : cases) {
    const auto result = card_with(R"("pci_bus_id": ")" + bus_id + "\"");
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << bus_id;
    EXPECT_NE(result.message.find(reason), std::string::npos) << bus_id << ": " << result.message;
  }
  for (const char* field : {"name", "uuid", "serial"}) {
    const auto result = card_with("\"" + std::string(field) + R"(": "ab\u0000cd")");
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << field;
    EXPECT_NE(result.message.find(std::string(field) + " in card 0 must not contain a NUL"), std::string::npos);
  }
  // Short fields and either case stay accepted, written out in full.
  EXPECT_EQ(card_with(R"("pci_bus_id": "A:3B:1f.7")").platform.cards.at(0).pci_bus_id, "000a:3b:1f.7");
}

TEST(Platform, FilesAndConfigurationTexts) {
  EXPECT_EQ(kycore::load_platform_file("/").code, kycore::KYCM_CONFIG_UNREADABLE);
  // Blanks before the brace still make it configuration text, not a file name.
  const auto inline_json = kycore::resolve_platform(R"(  {"dies_per_card": 1})");
  ASSERT_EQ(inline_json.code, 0u);
  EXPECT_EQ(inline_json.platform.device_count(), 1u);
}

// A worker pinned to some dies sees them alone, renumbered from 0 card by
// card; a malformed list hides every die rather than none.
TEST(Platform, VisibleDiesKeepTheListedDiesAlone) {
  const char* config =
      R"({"cards": [{"dies": [{"memory_mib": 1}, {"memory_mib": 2}]}, {"dies": [{"memory_mib": 3}]}]})";
  const auto visible = [config](const char* text) {
    setenv(kycore::kVisibleDiesEnvironmentVariable, text, 1);
    auto result = kycore::resolve_platform(config);
    unsetenv(kycore::kVisibleDiesEnvironmentVariable);
    return result;
  };
  EXPECT_EQ(visible("").platform.device_count(), 3u);
  const auto one = visible("1");
  ASSERT_EQ(one.code, 0u) << one.message;
  ASSERT_EQ(one.platform.cards.size(), 1u);
  EXPECT_EQ(one.platform.device(0)->memory_bytes, 2ull << 20);
  const auto two = visible("1,2");
  ASSERT_EQ(two.platform.cards.size(), 2u);
  EXPECT_EQ(two.platform.device(1)->memory_bytes, 3ull << 20);
  EXPECT_EQ(two.platform.cards[1].pci_bus_id, "0000:3c:00.0");
  for (const auto& [text, reason] :
       std::vector<std::pair<const char*, const char*>>{{"3", "die 3 is not one of the platform's 3 dies (0 to 2)"},
                                                        {"1,0", "increasing"},
                                                        {"1,1", "once"},
                                                        {"0,", "separated by commas"},
                                                        {" 1", "separated"},
                                                        {"-1", "separated"},
                                                        {"a", "separated"},
                                                        {"99999999999999999999", "separated"}}) {
    const auto refused = visible(text);
    EXPECT_EQ(refused.code, kycore::KYCM_CONFIG_INVALID) << text;
    EXPECT_NE(refused.message.find(reason), std::string::npos) << text << ": " << refused.message;
    EXPECT_EQ(refused.platform.device_count(), 0u) << text;
  }
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
