// Platform texts the libraries hand on as they are: a PCI bus id is hex
// digits in their fields and ranges and nothing else, and no text holds a
// NUL, which readers of the C records would take for its end.
#include <gtest/gtest.h>

#include <string>

#include "kycore/error_codes.h"
#include "kycore/platform.h"

using kycore::parse_platform;

namespace {

std::string card_with(const std::string& field) { return R"({"cards": [{)" + field + "}]}"; }

TEST(PlatformStrictValues, MalformedBusIdsAreRefusedWithTheFieldAtFault) {
  const std::pair<const char*, const char*> cases[] = {
      {"-001:-1:00.0", "domain"},
      {" +1: 3b:0x.0", "domain"},
      {"0x0:3b:00.0", "domain"},
      {"00000:3b:00.0", "domain"},
      {"0000:+3b:00.0", "bus"},
      {"0000:3bb:00.0", "bus"},
      {"0000:3b:20.0", "device"},
      {"0000:3b: 0.0", "device"},
      {"0000:3b:00.8", "function"},
      {"0000:3b:00.0 ", "function"},
      {"0000:3b:00.00", "function"},
      {"0000:3b:00", "look like"},
      {"", "look like"},
  };
  for (const auto& [bus_id, reason] : cases) {
    const auto result = parse_platform(card_with(R"("pci_bus_id": ")" + std::string(bus_id) + "\""));
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << bus_id;
    EXPECT_NE(result.message.find("pci_bus_id"), std::string::npos) << result.message;
    EXPECT_NE(result.message.find(reason), std::string::npos) << bus_id << ": " << result.message;
  }
  // Short fields and either case stay accepted, written out in full.
  const auto result = parse_platform(card_with(R"("pci_bus_id": "A:3B:1f.7")"));
  ASSERT_EQ(result.code, 0u) << result.message;
  const auto& card = result.platform.cards[0];
  EXPECT_EQ(card.pci_bus_id, "000a:3b:1f.7");
  EXPECT_EQ(card.pci_domain, 0xau);
}

TEST(PlatformStrictValues, TextsWithANulAreRefused) {
  for (const char* field : {"name", "uuid", "serial"}) {
    const auto result = parse_platform(card_with("\"" + std::string(field) + R"(": "ab\u0000cd")"));
    EXPECT_EQ(result.code, kycore::KYCM_CONFIG_INVALID) << field;
    EXPECT_NE(result.message.find(std::string(field) + " in card 0"), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("NUL"), std::string::npos) << result.message;
  }
  EXPECT_EQ(parse_platform(R"({"driver_version": "2\u0000"})").code, kycore::KYCM_CONFIG_INVALID);
}

}  // namespace
