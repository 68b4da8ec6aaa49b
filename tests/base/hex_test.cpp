#include "base/hex.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(Hex, EncodeAndDecode) {
  EXPECT_EQ(HexEncode(std::string_view("\x01\xAB\xff", 3)), "01ABFF");
  EXPECT_EQ(HexEncode(std::string_view("\x01\xAB\xff", 3), HexCase::Lower), "01abff");
  EXPECT_EQ(HexEncode(std::array<uint8_t, 2>{0x0F, 0xF0}), "0FF0");
  EXPECT_EQ(HexDecode("01abFF"), std::string("\x01\xAB\xFF"));
  EXPECT_EQ(HexDecode(""), std::string());
  for (const char* bad : {"1", "0g", "0 ", "+1"}) EXPECT_FALSE(HexDecode(bad)) << bad;
  for (char c : std::string_view("09afAF")) EXPECT_TRUE(IsHexDigit(c)) << c;
  for (char c : std::string_view("/:@G`g\x80")) {
    EXPECT_FALSE(IsHexDigit(c)) << c;
    EXPECT_EQ(HexDigitValue(c), -1) << c;
  }
  std::string percent;
  AppendPercentEncoded(percent, 0x0D);
  AppendPercentEncoded(percent, 0xD6);
  EXPECT_EQ(percent, "%0D%D6");
}

TEST(Hex, PercentDecode) {
  const struct {
    const char* in;
    std::optional<std::string> out;
  } cases[] = {
      {"urn%3Abtih%3a", "urn:btih:"},
      {"a+b", "a b"},
      {"%2B%25", "+%"},
      {"%D6%d0", "\xD6\xD0"},
      {"", ""},
      {"100%", std::nullopt},
      {"%4", std::nullopt},
      {"%G0", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(PercentDecode(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace pellucor
