// Platform texts reach the C records as they are: a PCI bus id is hex digits
// within each field's range and nothing else, and no text holds a NUL.
#include <gtest/gtest.h>

#include <string>

#include "kycore/error_codes.h"
#include "kycore/platform.h"

namespace {

kycore::PlatformResult card_with(const std::string& field) {
  return kycore::parse_platform(R"({"cards": [{)" + field + "}]}");
}

TEST(PlatformStrictValues, MalformedValuesAreRefusedWithTheFieldAtFault) {
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

}  // namespace
