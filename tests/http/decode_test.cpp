// Runs on both builds: the Windows build decodes with the system's code-page functions, the
// Linux build with the project's converters; both must give these bytes.
#include "http/decode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/codepage.h"
#include "base/hex.h"
#include "support/printers.h"

namespace pellucor {
namespace {

ByteBuffer Bytes(const char* s, size_t n) {
  return ByteBuffer(s, n);
}
ByteBuffer Bytes(const std::string& s) {
  return ByteBuffer(s);
}

TEST(Decode, Utf8ToGbkAndText) {
  struct Case {
    ByteBuffer utf8;
    ByteBuffer gbk;      // Utf8ToGbk: composite check
    ByteBuffer gbkText;  // Utf8TextToGbk: flags 0, ends at a zero byte
  };
  const Case cases[] = {
      {Bytes(""), Bytes(""), Bytes("")},
      {Bytes("plain ASCII"), Bytes("plain ASCII"), Bytes("plain ASCII")},
      {Bytes("\xE4\xB8\xAD\xE6\x96\x87"), Bytes("\xD6\xD0\xCE\xC4"), Bytes("\xD6\xD0\xCE\xC4")},
      // a byte-order mark is converted like any other character ("?" in GBK)
      {Bytes("\xEF\xBB\xBF"
             "a"),
       Bytes("?a"), Bytes("?a")},
      // a zero byte stays in a buffer; text ends before it
      {Bytes("a\0b", 3), Bytes("a\0b", 3), Bytes("a")},
      // a letter and a combining mark compose only in the buffer conversion
      {Bytes("e\xCC\x81"), Bytes("\xA8\xA6"), Bytes("e?")},
      {Bytes("\xC3\xA9"), Bytes("\xA8\xA6"), Bytes("\xA8\xA6")},
      // best fit: U+00C0 has no GBK form of its own
      {Bytes("\xC3\x80"), Bytes("\xA8\xA4"), Bytes("\xA8\xA4")},
      // malformed UTF-8: one "?" per U+FFFD
      {Bytes("A\xC0\xAF"
             "B"),
       Bytes("A??B"), Bytes("A??B")},
      {Bytes("\xE4\xB8"), Bytes("?"), Bytes("?")},
      {Bytes("\xF0\x9F\x98\x80"), Bytes("??"), Bytes("??")},  // a pair of surrogates
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk) << ::testing::PrintToString(c.utf8);
    EXPECT_EQ(TextToBytes(Utf8TextToGbk(BytesToText(c.utf8))), c.gbkText)
        << ::testing::PrintToString(c.utf8);
  }
}

TEST(Decode, Utf8ToUtf16GivesLittleEndianUnits) {
  EXPECT_EQ(Utf8ToUtf16(Bytes("A\xE4\xB8\xAD")), Bytes("A\0\x2D\x4E", 4));
  EXPECT_EQ(Utf8ToUtf16(Bytes("\xEF\xBB\xBF")), Bytes("\xFF\xFE", 2));
  EXPECT_EQ(Utf8ToUtf16(Bytes("\0", 1)), Bytes("\0\0", 2));
  EXPECT_TRUE(Utf8ToUtf16(Bytes("")).empty());
}

// The malformed inputs recorded from the Windows UTF-8 decoder, through to GBK.
TEST(Decode, MalformedUtf8AsRecorded) {
  std::ifstream in(std::string(PELLUCOR_TESTDATA_DIR) + "/cp936/utf8.txt", std::ios::binary);
  ASSERT_TRUE(in);
  std::string line;
  int rows = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::stringstream ss(line);
    std::string name, hex, count, units;
    std::getline(ss, name, '\t');
    std::getline(ss, hex, '\t');
    std::getline(ss, count, '\t');
    std::getline(ss, units, '\t');
    // The units are four hex digits each, high byte first.
    std::erase(units, ' ');
    const std::optional<std::string> input = HexDecode(hex), unitBytes = HexDecode(units);
    ASSERT_TRUE(input && unitBytes && unitBytes->size() % 2 == 0) << line;
    std::u16string want16;
    std::string le;
    for (size_t i = 0; i < unitBytes->size(); i += 2) {
      const unsigned char high = (*unitBytes)[i], low = (*unitBytes)[i + 1];
      want16.push_back(static_cast<char16_t>(high << 8 | low));
      le.push_back(static_cast<char>(low));
      le.push_back(static_cast<char>(high));
    }
    EXPECT_EQ(Utf8ToUtf16(Bytes(*input)), Bytes(le)) << name;
    EXPECT_EQ(Utf8ToGbk(Bytes(*input)), Bytes(Utf16ToGbk(want16, kCompositeCheck))) << name;
    ++rows;
  }
  EXPECT_EQ(rows, 16);
}

}  // namespace
}  // namespace pellucor
