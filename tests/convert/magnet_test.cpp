#include "convert/magnet.h"

#include <gtest/gtest.h>

#include <string>

#include "support/printers.h"

namespace pellucor {
namespace {

const std::string kHex = "0123456789abcdef0123456789abcdef01234567";
const std::string kHexUpper = "0123456789ABCDEF0123456789ABCDEF01234567";
const std::string kBase32 = "AERUKZ4JVPG66AJDIVTYTK6N54ASGRLH";  // the same 20 bytes
const std::string kLink = std::string(MagnetPrefix) + kHex;
const std::string kV2 = "urn:btmh:1220" + std::string(64, 'a');
const std::string kV2Upper(64, 'A');

struct Case {
  std::string box;
  bool accepted;
  std::string first, second;  // MagnetHash on each route
};

template <size_t N>
void ExpectCases(const Case (&cases)[N]) {
  for (const Case& c : cases) {
    EXPECT_EQ(CheckMagnetText(c.box), c.accepted) << c.box;
    if (!c.accepted) continue;
    EXPECT_EQ(TakeMagnetHash(Route::First, c.box), GbkText(c.first)) << c.box;
    EXPECT_EQ(TakeMagnetHash(Route::Second, c.box), GbkText(c.second)) << c.box;
  }
}

// Texts of trimmed length 40 or 60: only the length decides, and the hash is taken as is.
TEST(Magnet, LengthRule) {
  const std::string chinese20 = "磁力链接错误请输入正确的磁力链接磁力链接";  // 20 characters
  ASSERT_EQ(chinese20.size(), 40u);
  const Case cases[] = {
      {"", false, "", ""},
      {"   ", false, "", ""},
      {"　　", false, "", ""},
      {kLink, true, kHexUpper, kHexUpper},
      // blanks around a link stay in the first route's hash only
      {"  " + kLink + " ", true, "  " + kHexUpper + " ", kHexUpper},
      {"　" + kLink, true, "　" + kHexUpper, kHexUpper},
      {kLink + "\r\n", false, "", ""},  // line breaks are not trimmed
      {"\t" + kLink, false, "", ""},
      // a bare hash keeps its letter case
      {kHex, true, kHex, kHex},
      {"  " + kHex, true, kHex, kHex},
      {kHexUpper, true, kHexUpper, kHexUpper},
      {"MAGNET:?XT=URN:BTIH:" + kHexUpper, true, "MAGNET:?XT=URN:BTIH:" + kHexUpper,
       "MAGNET:?XT=URN:BTIH:" + kHexUpper},
      // the prefix anywhere is cut out
      {kHex.substr(0, 20) + MagnetPrefix + kHex.substr(20), true, kHexUpper, kHexUpper},
      {chinese20, true, chinese20, chinese20},
      {kHex.substr(0, 39), false, "", ""},
      {kHex + "0", false, "", ""},
  };
  ExpectCases(cases);
}

// Magnet URIs of other lengths, as copied from web pages.
TEST(Magnet, UriRule) {
  const std::string b32lower = "aerukz4jvpg66ajdivtytk6n54asgrlh";
  const Case cases[] = {
      {kLink + "&dn=Some.Name&tr=udp%3A%2F%2Ftracker%3A80", true, kHexUpper, kHexUpper},
      {"magnet:?dn=x&tr=a&xt=urn:btih:" + kHex, true, kHexUpper, kHexUpper},
      {"magnet:?xt=urn:btih:" + kBase32, true, kHexUpper, kHexUpper},
      {"magnet:?xt=urn:btih:" + b32lower + "&dn=x", true, kHexUpper, kHexUpper},
      {"MAGNET:?XT=URN:BTIH:" + kBase32 + "&tr=x", true, kHexUpper, kHexUpper},
      {"magnet:?xt=urn%3Abtih%3A" + kHex + "&dn=x", true, kHexUpper, kHexUpper},
      {"magnet:?xt=urn%3abtih%3a" + kBase32, true, kHexUpper, kHexUpper},
      {"  " + kLink + "&dn=x  ", true, kHexUpper, kHexUpper},
      // the first btih counts; v2 values are passed over
      {"magnet:?xt=" + kV2 + "&xt=urn:btih:" + kHex, true, kHexUpper, kHexUpper},
      {"magnet:?xt=urn:btih:" + kBase32 + "&xt=urn:btih:" + std::string(40, 'f'), true, kHexUpper,
       kHexUpper},
      {kLink + "&amp;dn=x&amp;tr=http%3A%2F%2Ft", true, kHexUpper, kHexUpper},
      // a link with no btih counts by its first v2 hash
      {"magnet:?xt=" + kV2, true, kV2Upper, kV2Upper},
      {"magnet:?dn=x&xt=urn%3Abtmh%3A1220" + std::string(64, 'a') + "&xt=" + "urn:btmh:1220" +
           std::string(64, 'b'),
       true, kV2Upper, kV2Upper},
      {"magnet:?xt=" + kV2 + "&dn=x", true, kV2Upper, kV2Upper},
      // rejected
      {"magnet:?xt=" + kV2 + "a", false, "", ""},                          // 65 digits
      {"magnet:?xt=urn:btmh:1114" + std::string(64, 'a'), false, "", ""},  // not SHA-256
      {"magnet:?xt=urn:btmh:1220" + std::string(63, 'a') + "g", false, "", ""},
      {"magnet:?dn=x&amp;xt=urn:btih:" + kHex, false, "", ""},  // parameter "amp;xt"
      {kLink + "&dn=a b", false, "", ""},                       // a space inside
      {kLink + "&dn=x\r\n", false, "", ""},
      {kLink + "&dn=x\x7F", false, "", ""},
      {"magnet:?xt=urn:btih:" + kBase32 + "A", false, "", ""},  // 33 characters
      {"magnet:?xt=urn:btih:" + kBase32.substr(1), false, "", ""},
      {"magnet:?xt=urn:btih:" + kBase32.substr(0, 31) + "1", false, "", ""},  // "1" is no base-32
      {"magnet:?xt=urn:btih:" + std::string(40, 'g') + "&dn=x", false, "", ""},
      {"magnet:?xt=urn:btih:" + kHex + "0&dn=x", false, "", ""},  // 41 hex digits
      {"magnet:?xt=urn:sha1:" + kBase32, false, "", ""},
      {"magnet:?xt=urn%3Gbtih:" + kHex, false, "", ""},
      {"magnet:xt=urn:btih:" + kHex + "&dn=x", false, "", ""},  // no "?"
      {"http://x/?xt=urn:btih:" + kHex, false, "", ""},
  };
  ExpectCases(cases);
}

}  // namespace
}  // namespace pellucor
