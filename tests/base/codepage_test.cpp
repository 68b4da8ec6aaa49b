// The converters against the reference recorded from the Windows code-page functions
// (tests/data/cp936, format in its README): every line must match.
#include "base/codepage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pellucor {
namespace {

std::vector<std::vector<std::string>> ReadReference(const std::string& name) {
  std::ifstream in(std::string(PELLUCOR_TESTDATA_DIR) + "/cp936/" + name, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << name;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, '\t')) fields.push_back(f);
    rows.push_back(fields);
  }
  return rows;
}

std::string HexBytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::u16string HexUnits(const std::string& list) {
  std::u16string out;
  std::stringstream ss(list);
  std::string u;
  while (ss >> u) out.push_back(static_cast<char16_t>(std::stoul(u, nullptr, 16)));
  return out;
}

std::string Hex(std::string_view bytes) {
  static const char k[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(k[c >> 4]);
    out.push_back(k[c & 15]);
  }
  return out;
}

std::string Hex(std::u16string_view units) {
  std::string out;
  char buf[8];
  for (char16_t u : units) {
    std::snprintf(buf, sizeof buf, "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(u));
    out += buf;
  }
  return out;
}

// mb936.txt: INPUT_BYTES RESULT_COUNT UNITS LAST_ERROR
TEST(Codepage, GbkToUtf16MatchesReferenceOnEveryLine) {
  const auto rows = ReadReference("mb936.txt");
  ASSERT_EQ(rows.size(), 32515u);
  int mismatches = 0;
  for (const auto& r : rows) {
    const std::u16string got = GbkToUtf16(HexBytes(r[0]));
    if (Hex(got) != r[2] || got.size() != std::stoul(r[1])) {
      if (++mismatches <= 10) ADD_FAILURE() << r[0] << ": got " << Hex(got) << ", want " << r[2];
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// wc936.txt: UNIT N0 BYTES0 (flags 0) N1 BYTES1 (WC_COMPOSITECHECK) N2 BYTES2 USED
TEST(Codepage, Utf16ToGbkMatchesReferenceOnEveryUnit) {
  const auto rows = ReadReference("wc936.txt");
  ASSERT_EQ(rows.size(), 0x10000u);
  int mismatches = 0;
  for (const auto& r : rows) {
    const std::u16string unit(1, static_cast<char16_t>(std::stoul(r[0], nullptr, 16)));
    bool used = false;
    const std::string plain = Utf16ToGbk(unit, 0, &used);
    const std::string composed = Utf16ToGbk(unit, kCompositeCheck);
    if (Hex(plain) != r[2] || Hex(composed) != r[4] || used != (r[7] == "1")) {
      if (++mismatches <= 10)
        ADD_FAILURE() << "U+" << r[0] << ": got " << Hex(plain) << "/" << Hex(composed) << " used "
                      << used << ", want " << r[2] << "/" << r[4] << " used " << r[7];
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// wcseq.txt: UNITS, then N BYTES for flags 0, 0x200, 0x240, 0x210, 0x400, then USED (of the
// last conversion). The program uses flags 0 and WC_COMPOSITECHECK alone; those columns are
// checked (the default-character flag of flags 0 is checked unit by unit above).
TEST(Codepage, Utf16ToGbkMatchesReferenceOnSequences) {
  const auto rows = ReadReference("wcseq.txt");
  ASSERT_EQ(rows.size(), 13u);
  for (const auto& r : rows) {
    const std::u16string units = HexUnits(r[0]);
    EXPECT_EQ(Hex(Utf16ToGbk(units, 0)), r[2]) << r[0];
    EXPECT_EQ(Hex(Utf16ToGbk(units, kCompositeCheck)), r[4]) << r[0];
  }
}

// utf8.txt: NAME INPUT_BYTES RESULT_COUNT UNITS ERRFLAG
TEST(Codepage, Utf8ToUtf16MatchesReferenceOnMalformedInput) {
  const auto rows = ReadReference("utf8.txt");
  ASSERT_EQ(rows.size(), 16u);
  for (const auto& r : rows) EXPECT_EQ(Hex(Utf8ToUtf16(HexBytes(r[1]))), r[3]) << r[0];
}

TEST(Codepage, ConvertsExactlyWhatItIsGiven) {
  // Zero bytes and a byte-order mark pass through; no terminator is added.
  EXPECT_EQ(Utf8ToUtf16(std::string("\xEF\xBB\xBF"
                                    "a\0b",
                                    6)),
            std::u16string(u"\uFEFFa\0b", 4));
  EXPECT_EQ(GbkToUtf16(std::string("\xD6\xD0\0", 3)), std::u16string(u"中\0", 2));
  EXPECT_EQ(Utf16ToGbk(std::u16string(u"\uFEFF\0", 2)), std::string("?\0", 2));
  EXPECT_EQ(GbkToUtf16(std::string("\x81\0", 2)), std::u16string(u"?\0", 2));
  EXPECT_TRUE(GbkToUtf16("").empty());
  EXPECT_TRUE(Utf16ToGbk(u"").empty());
  EXPECT_TRUE(Utf8ToUtf16("").empty());
}

// Whole pages go through word-at-a-time paths that short inputs never reach: a long text of
// mixed pieces (ASCII runs of every length, double-byte characters, invalid pairs, lone bytes,
// broken UTF-8) converts exactly as its pieces do one by one.
TEST(Codepage, LongTextsConvertAsTheirPiecesDo) {
  const std::vector<std::string> gbkPieces = {"a",    "0123456789abcdef", "xyz1234", "\xD6\xD0",
                                              "\x80", "\x81\x30",         "\xFF",    "\xA1\xA1",
                                              "\r\n", "\x81\x7F"};
  const std::vector<std::string> utf8Pieces = {
      "a",    "0123456789abcdef", "xyz1234",  "\xE4\xB8\xAD",
      "\xC0", "\xF0\x9F\x98\x80", "\xE4\xB8", "\xC3\xA9"};
  uint32_t seed = 1;
  auto next = [&seed](size_t n) {
    seed = seed * 1103515245 + 12345;
    return (seed >> 16) % n;
  };
  for (int round = 0; round < 200; ++round) {
    std::string gbk, utf8;
    std::u16string gbkUnits, utf8Units;
    std::string gbkAgain;
    for (size_t i = 0, n = next(40); i < n; ++i) {
      const std::string& g = gbkPieces[next(gbkPieces.size())];
      gbk += g;
      gbkUnits += GbkToUtf16(g);
      gbkAgain += Utf16ToGbk(GbkToUtf16(g));
      const std::string& u = utf8Pieces[next(utf8Pieces.size())];
      utf8 += u;
      utf8Units += Utf8ToUtf16(u);
    }
    ASSERT_EQ(Hex(GbkToUtf16(gbk)), Hex(gbkUnits)) << Hex(gbk);
    ASSERT_EQ(Hex(Utf16ToGbk(gbkUnits)), Hex(gbkAgain)) << Hex(gbk);
    ASSERT_EQ(Hex(Utf8ToUtf16(utf8 + "\xE4\xB8")), Hex(utf8Units + u"\uFFFD")) << Hex(utf8);
  }
}

TEST(Codepage, Utf16ToUtf8) {
  struct Case {
    std::u16string units;
    std::string want;
  };
  const Case cases[] = {
      {u"a", "a"},
      {u"\u00E9", "\xC3\xA9"},
      {u"\u4E2D", "\xE4\xB8\xAD"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},  // lone high surrogate
      {std::u16string(1, char16_t(0xDE00)) + u"a",
       "\xEF\xBF\xBD"
       "a"},  // lone low surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(Utf16ToUtf8(c.units), c.want) << Hex(c.units);
  // Every BMP character survives the round trip through UTF-8.
  std::u16string all;
  for (char32_t u = 1; u < 0x10000; ++u)
    if (u < 0xD800 || u > 0xDFFF) all.push_back(static_cast<char16_t>(u));
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(all)), all);
}

}  // namespace
}  // namespace pellucor
