#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/printers.h"

namespace pellucor {
namespace {

// GBK: "中" D6 D0, "文" CE C4, ideographic space A1 A1. 0x81 is a lead byte that takes the next
// byte with it whatever that byte is, so "\x81" "a" is one character whose trail byte is 'a'.

TEST(GbkText, StopsAtZeroByte) {
  EXPECT_EQ(GbkText(std::string("a\0b", 3)), GbkText("a"));
  EXPECT_TRUE(GbkText(static_cast<const char*>(nullptr)).empty());
}

TEST(Text, FindText) {
  struct Case {
    const char* text;
    const char* what;
    std::optional<int32_t> start;
    bool fold;
    int32_t want;
  };
  const std::string ascii20(20, 'x');
  const std::string afterRun = ascii20 + "\x81yzy";  // 81 79 is one character
  const Case cases[] = {
      {"User-Agent: x", "user-agent:", {}, true, 1},
      {"User-Agent: x", "user-agent:", {}, false, -1},
      {"中a", "a", {}, false, 3},
      {"aba", "ba", {}, false, 2},
      {"ABC", "b", {}, false, -1},
      // empty `what`: 1 for a non-empty region (the start is not added), else -1
      {"abc", "", {}, false, 1},
      {"abc", "", 3, false, 1},
      {"abc", "", 4, false, -1},
      {"", "", {}, false, -1},
      // start
      {"abcabc", "abc", 2, false, 4},
      {"abc", "a", -5, false, 1},
      {"abc", "a", 0, false, 1},
      {"abc", "c", 3, false, 3},
      {"abc", "c", 4, false, -1},
      {"abc", "c", INT32_MIN, false, 3},
      // never a match that begins on a trail byte
      {"\x81"
       "AA",
       "A",
       {},
       false,
       3},
      {"\x81"
       "AA",
       "AA",
       {},
       false,
       -1},
      {afterRun.c_str(), "y", {}, false, 24},
      {"\x81\x81\x81"
       "aa",
       "a",
       {},
       false,
       5},  // 81 81 | 81 61 | 61
      {"\x81\x81"
       "a",
       "a",
       {},
       false,
       3},                         // 81 81 | 61
      {"中a", "a", 2, false, -1},  // from D0: D0 61 is one character
      {"\x81"
       "ab",
       "AB",
       {},
       true,
       -1},
      {"xUSER-agent", "user-AGENT", {}, true, 2},
      // a start inside a double-byte character reads the text out of phase
      {"中中", "中", 2, false, -1},
      {"中中", "中", 3, false, 3},
      // 0x80 counts as a lead byte too
      {"\x80"
       "ab",
       "a",
       {},
       false,
       -1},
      // a lead byte at the very end stands alone
      {"ab\x81", "\x81", {}, false, 3},
      {"a\x81", "b", {}, false, -1},
      // folding is byte by byte, trail bytes included; other bytes compare exactly
      {"\x81"
       "a",
       "\x81"
       "A",
       {},
       true,
       1},
      {"\xC1", "\xE1", {}, true, -1},
      {"x-Y", "X-y", {}, true, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindText(c.text, c.what, c.start, c.fold), c.want)
        << "text=" << ::testing::PrintToString(GbkText(c.text)) << " what=" << c.what;
  }
}

TEST(Text, FindTextReverse) {
  struct Case {
    const char* text;
    const char* what;
    std::optional<int32_t> start;
    bool fold;
    int32_t want;
  };
  const Case cases[] = {
      {"host:80:90", ":", {}, false, 8},
      {"aaa", "aa", {}, false, 2},
      {"abc", "x", {}, false, -1},
      {"abc", "", {}, false, -1},
      {"a:\x81::", ":", {}, false, 5},
      {"a:\x81:", ":", {}, false, 2},
      {"aXbx", "X", {}, true, 4},
      {"aXbx", "X", {}, false, 2},
      // with a start s, only matches wholly inside the first s-1 bytes
      {"host:80:90", ":", 8, false, 5},
      {"host:80:90", ":", 9, false, 8},
      {"abab", "ab", 4, false, 1},
      {"abc", "a", 2, false, 1},
      {"abc", "a", 1, false, -1},
      {"abc", "a", -3, false, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindTextReverse(c.text, c.what, c.start, c.fold), c.want)
        << ::testing::PrintToString(GbkText(c.text)) << " / " << c.what;
  }
}

TEST(Text, PartsCountBytes) {
  struct Case {
    GbkText got, want;
  };
  const Case cases[] = {
      {LeftPart("中文", 1), "\xD6"},
      {LeftPart("abc", 0), ""},
      {LeftPart("abc", -1), ""},
      {LeftPart("abc", 5), "abc"},
      {RightPart("中文", 1), "\xC4"},
      {RightPart("abc", 2), "bc"},
      {RightPart("abc", 9), "abc"},
      {RightPart("abc", 0), ""},
      {MiddlePart("abcdef", 2, 3), "bcd"},
      {MiddlePart("abcdef", 6, 5), "f"},
      {MiddlePart("abcdef", 0, 2), ""},
      {MiddlePart("abcdef", 7, 1), ""},
      {MiddlePart("abcdef", 2, 0), ""},
      {MiddlePart("", 1, 1), ""},
      {CharFromCode('A'), "A"},
      {CharFromCode(0xD6), "\xD6"},
      {CharFromCode(0), ""},
      {SpacesText(3), "   "},
      {SpacesText(0), ""},
      {SpacesText(-2), ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(Text, ReplaceTextAndMultiReplace) {
  struct Case {
    GbkText got, want;
  };
  const Case cases[] = {
      // letter case is ignored unless asked for
      {ReplaceText("aXbxc", "x", "-"), "a-b-c"},
      {ReplaceText("aXbxc", "x", "-", 1, -1, true), "aXb-c"},
      {ReplaceText("aaa", "a", "b", 2, 1, true), "aba"},
      // inserted text is never scanned again; matches never overlap
      {ReplaceText("#引号#引号", "#引号", "\""), "\"\""},
      {ReplaceText("aa", "a", "aa"), "aaaa"},
      {ReplaceText("aaa", "aa", "b"), "ba"},
      // count
      {ReplaceText("aaaa", "a", "b", 1, 2), "bbaa"},
      {ReplaceText("aaaa", "a", "b", 1, 0), "aaaa"},
      {ReplaceText("aaaa", "a", "b", 1, -7), "bbbb"},
      // start: bytes before it are copied verbatim
      {ReplaceText("abc", "a", "x", 0), "xbc"},
      {ReplaceText("abc", "c", "x", 3), "abx"},
      {ReplaceText("abc", "c", "x", 4), "abc"},
      {ReplaceText("aba", "a", "x", 2), "abx"},
      // nothing to do
      {ReplaceText("", "a", "x"), ""},
      {ReplaceText("abc", "", "x"), "abc"},
      {ReplaceText("a-b-c", "-"), "abc"},
      // character stepping: a trail byte never starts a match; folding reaches trail bytes
      {ReplaceText("\x81"
                   "aa",
                   "a", "x", 1, -1, true),
       "\x81"
       "ax"},
      {ReplaceText("\x81\x41", "\x81\x61", "Z"), "Z"},
      {ReplaceText("中文中", "中", "-"), "-文-"},
      // MultiReplace: ReplaceText once per pair, in order, each on the last result
      {MultiReplace("<tr><td>a</td><td style=\"text-align:right\">1 MB</td></tr>",
                    {{"<tr><td>", ""},
                     {"</td><td style=\"text-align:right\">", ""},
                     {"</td></tr>", "\r\n"}}),
       "a1 MB\r\n"},
      {MultiReplace("abc", {{"a", "b"}, {"b", "c"}}), "ccc"},  // each pair sees the last result
      {MultiReplace("abc", {{"", "x"}}), "abc"},
      {MultiReplace("ABC", {{"b", "x"}}), "AxC"},
      {MultiReplace("ABC", {{"b", "x"}}, 0, {}, true), "ABC"},
      {MultiReplace("aaa", {{"a", "b"}}, 2), "abb"},
      {MultiReplace("aaa", {{"a", "b"}}, 0), "bbb"},
      {MultiReplace("aaa", {{"a", "b"}}, 0, 1), "baa"},
      {MultiReplace("abcde", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}}),
       "12345"},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(Text, SplitText) {
  struct Case {
    TextArray got, want;
  };
  const Case cases[] = {
      {SplitText("a,,b"), {"a", "", "b"}},
      {SplitText(",a"), {"", "a"}},
      {SplitText("a,"), {"a"}},
      {SplitText(","), {""}},
      {SplitText("a\r\n\r\nb", "\r\n"), {"a", "", "b"}},
      {SplitText("", ","), {}},
      {SplitText("", ""), {}},
      {SplitText("abc", ""), {"abc"}},
      {SplitText("abc"), {"abc"}},
      // maxParts: the text after the last counted separator is dropped
      {SplitText("a,b,c", ",", 2), {"a", "b"}},
      {SplitText("a,b", ",", 1), {"a"}},
      {SplitText("abc", ",", 1), {"abc"}},
      {SplitText("a,b", ",", 5), {"a", "b"}},
      {SplitText("a,b", ",", 0), {}},
      {SplitText("a,b", ",", -1), {}},
      // exact bytes, by characters
      {SplitText("aXbxc", "x"), {"aXb", "c"}},
      {SplitText("\x81,a,b"), {"\x81,a", "b"}},
      {SplitText("中，文", "，"), {"中", "文"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(Text, CaseAndBlanks) {
  struct Case {
    GbkText got, want;
  };
  const Case cases[] = {
      {UpperCaseAscii("aZ中z"), "AZ中Z"},
      {UpperCaseAscii("\x81"
                      "a"),
       "\x81"
       "A"},  // byte-wise: the trail byte changes too
      {LowerCaseAscii("AbC\xC1"), "abc\xC1"},
      // blanks are 0x20 and A1 A1 only
      {TrimBoth("\t a \r\n"), "\t a \r\n"},
      {TrimBoth("　a　"), "a"},
      {TrimBoth("  a b  "), "a b"},
      {TrimBoth(" 　 "), ""},
      {TrimBoth(""), ""},
      {TrimBoth("x\xA1\xA1"), "x"},
      {TrimBoth("\xB0\xA1\xA1"), "\xB0\xA1\xA1"},   // B0 A1 is a character, A1 stands alone
      {TrimBoth("\xA1\xA1\xA1x"), "\xA1x"},         // A1 78 after the blank is a character
      {TrimBoth("\xB0\xA1\xA1\xA1 "), "\xB0\xA1"},  // the final run is A1 A1 + space
      {RemoveBlanks(" a　b c "), "abc"},
      {RemoveBlanks("\ta\r\n"), "\ta\r\n"},
      {RemoveBlanks("\xB0\xA1\xA1\xA1 "), "\xB0\xA1"},
      {RemoveBlanks("\xB0\xA1\xA1x"), "\xB0\xA1\xA1x"},
      {RemoveBlanks("a\x81"), "a\x81"},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(Text, ToInteger) {
  struct Case {
    const char* text;
    int32_t want;
  };
  const Case cases[] = {
      {"  -42x", -42},
      {"", 0},
      {"abc", 0},
      {"80abc", 80},
      {"+7", 7},
      {"\t\r\n\v\f 5", 5},
      {"1 2", 1},
      {"８０８０", 8080},  // full-width digits
      {"－５", -5},        // full-width minus
      {"＋５", 5},
      {"　12", 12},  // ideographic space is skipped like a space
      {"\xA1\xAB"
       "1",
       0},  // A1 AB folds to "~", which is no digit
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},  // wraps, no clamping
      {"4294967297", 1},
      {"-2147483648", INT32_MIN},
      {"中1", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ToInteger(c.text), c.want) << c.text;
  EXPECT_EQ(IntegerToText(0), GbkText("0"));
  EXPECT_EQ(IntegerToText(-5), GbkText("-5"));
  EXPECT_EQ(IntegerToText(INT32_MIN), GbkText("-2147483648"));
  EXPECT_EQ(BitOr(1, 2, 4), 7);
  EXPECT_EQ(BitOr(-1, 0), -1);
}

TEST(Text, CompareAndConcat) {
  struct Case {
    const char *a, *b;
    int want;
  };
  const Case cases[] = {
      {"a", "b", -1},  {"b", "a", 1},  {"a", "a", 0},    {"", "", 0},
      {"a", "ab", -1}, {"ab", "a", 1}, {"\x80", "a", 1},  // unsigned bytes
  };
  for (const Case& c : cases) EXPECT_EQ(CompareText(c.a, c.b), c.want) << c.a << " vs " << c.b;
  EXPECT_EQ(ConcatText("a", "", "中"), GbkText("a中"));
  EXPECT_EQ(TextLength("中a"), 3);
}

TEST(Text, Arrays) {
  TextArray a;
  EXPECT_EQ(ElementCount(a), 0);
  GbkText item = "x";
  AppendElement(a, item);
  AppendElement(a, "");
  item = "changed";  // the array holds a copy
  ASSERT_EQ(ElementCount(a), 2);
  EXPECT_EQ(Element(a, 1), GbkText("x"));
  EXPECT_EQ(Element(a, 2), GbkText(""));
}

TEST(Bytes, Operations) {
  const ByteBuffer zab(std::string("a\0b\0b", 5));
  EXPECT_EQ(TextToBytes("ab"), ByteBuffer(std::string("ab")));
  EXPECT_EQ(BytesLength(TextToBytes("ab")), 2);
  EXPECT_EQ(BytesToText(ByteBuffer(std::string("A\0B", 3))), GbkText("A"));
  EXPECT_EQ(BytesToText(ByteBuffer(std::string("AB"))), GbkText("AB"));
  EXPECT_EQ(ZeroBytes(3), ByteBuffer(std::string(3, '\0')));
  EXPECT_TRUE(ZeroBytes(0).empty());
  EXPECT_TRUE(ZeroBytes(-1).empty());
  EXPECT_EQ(BytesLeftPart(zab, 2), ByteBuffer(std::string("a\0", 2)));
  EXPECT_EQ(BytesLeftPart(zab, 0), ByteBuffer());
  EXPECT_EQ(BytesLeftPart(zab, -1), ByteBuffer());
  EXPECT_EQ(BytesLeftPart(zab, 10), zab);
  EXPECT_EQ(ConcatBytes({zab, ByteBuffer(), zab}).size(), 10);

  struct Find {
    ByteBuffer needle;
    int32_t start;
    int32_t want;
  };
  const Find finds[] = {
      {ByteBuffer(std::string("\0b", 2)), 1, 2},
      {ByteBuffer(std::string("\0b", 2)), 3, 4},
      {ByteBuffer(std::string("\0b", 2)), 5, -1},  // fewer bytes left than the needle
      {ByteBuffer(std::string("\0b", 2)), 0, 2},
      {ByteBuffer(std::string("b")), 6, -1},
      {ByteBuffer(), 1, -1},
  };
  for (const Find& f : finds) EXPECT_EQ(FindBytes(zab, f.needle, f.start), f.want) << f.start;
  // no character stepping over bytes
  EXPECT_EQ(FindBytes(TextToBytes("\x81"
                                  "A"),
                      TextToBytes("A")),
            2);

  struct Compare {
    const char* a;
    size_t la;
    const char* b;
    size_t lb;
    int32_t n;
    int want;
  };
  const Compare compares[] = {
      {"ab", 2, "ac", 2, 1, 0},     {"ab", 2, "ac", 2, 2, -1}, {"a", 1, "ab", 2, 2, -1},
      {"ab", 2, "a", 1, 1, 0},      {"ab", 2, "zz", 2, 0, 0},  {"\0\1", 2, "\0\2", 2, 2, -1},
      {"\x80", 1, "\x01", 1, 1, 1},
  };
  for (const Compare& c : compares) {
    EXPECT_EQ(CompareBytes(ByteBuffer(c.a, c.la), ByteBuffer(c.b, c.lb), c.n), c.want)
        << c.a << " vs " << c.b << " n=" << c.n;
  }
}

}  // namespace
}  // namespace pellucor
