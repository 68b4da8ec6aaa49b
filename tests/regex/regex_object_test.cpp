// One suite for both engines: VBScript.RegExp under Windows (Wine here), PCRE2 on Linux.
#include "regex/regex_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/printers.h"
#include "support/under_wine.h"

namespace pellucor {
namespace {

// Wine's VBScript.RegExp, which the Windows tests run against here, differs from the Windows
// engine in ways the program meets: its "." does not match "\r", it folds only ASCII letters
// when case is ignored, and a global search for a pattern that matches the empty string never
// ends. Those cases state Wine's result, or are left out under Wine; the Linux engine follows
// Windows.
using testing::UnderWine;

const char kPreviewRowPattern[] =
    "<tr><td>(.{1,100})</td><td style=\"text-align:right\">(.{1,9})</td></tr>";
const char kDownloadLinkPattern[] =
    "href=\"\\.(.{1,300})\" class=\"btn btn-primary\" target=\"_blank\">点击下载";
const char kFileNamePattern[] = "filename=(.{1,300})\\[pellucor.local\\]\\.torrent";
const char kAdPicturePattern[] = "广告图片地址：(.{1,100})";
const char kAdLinkPattern[] = "广告地址：(.{1,100})";

std::vector<std::string> AllMatches(RegexObject& re) {
  std::vector<std::string> out;
  for (int32_t i = 1; i <= re.MatchCount(); ++i) out.push_back(re.MatchText(i).str());
  return out;
}

TEST(RegexObject, OptionsAndDefaults) {
  struct Case {
    const char *pattern, *subject;
    std::optional<bool> caseSensitive, multiLine, global;
    std::vector<std::string> want;
    bool wineDiffers = false;
  };
  const Case cases[] = {
      {"abc", "ABC abc", {}, {}, {}, {"ABC", "abc"}},
      {"abc", "ABC abc", true, {}, {}, {"abc"}},
      {"abc", "ABC abc", {}, {}, false, {"ABC"}},
      {"^b.", "a\nbc\nbd", {}, {}, {}, {"bc", "bd"}},
      {"^b.", "a\nbc\nbd", {}, false, {}, {}},
      {"c$", "abc\nc", {}, {}, {}, {"c", "c"}},
      {"c$", "abc\nc", {}, false, {}, {"c"}},
      {"c$", "abc\n", {}, false, {}, {}},  // "$" alone is the very end, not before a last "\n"
      {"a.c", "a\rc a\nc", {}, {}, {}, {"a\rc"}, true},
      {"x*", "axb", {}, {}, {}, {"", "x", "", ""}, true},  // empty matches step one character on
      {"中.", "中文中a", {}, {}, {}, {"中文", "中a"}},
      {"\\u4e2d", "中", {}, {}, {}, {"中"}},
      // letters beyond ASCII fold too (the Windows engine canonicalises with the Unicode upper
      // case, Wine's folds ASCII only)
      {"σ", "Σ", {}, {}, {}, {"Σ"}, true},
      {"Ж", "ж", {}, {}, {}, {"ж"}, true},
  };
  for (const Case& c : cases) {
    if (c.wineDiffers && UnderWine()) continue;
    RegexObject re;
    EXPECT_TRUE(re.Search(c.pattern, c.subject, c.caseSensitive, c.multiLine, c.global))
        << c.pattern;
    EXPECT_EQ(AllMatches(re), c.want) << c.pattern << " over " << c.subject;
  }
}

TEST(RegexObject, GroupsAndLines) {
  RegexObject re;
  const std::string value(150, 'v');
  re.Search("广告地址：(.{1,100})", "x\r\n广告地址：" + value + "\r\nnext");
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(value.substr(0, 100)));

  re.Search("(.{1,100})", "a\r\nb");
  EXPECT_EQ(re.MatchCount(), 2);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(UnderWine() ? "a" : "a\r"));
  EXPECT_EQ(re.SubMatchText(2, 1), GbkText("b"));

  re.Search("(x)?y", "y");
  EXPECT_EQ(re.MatchCount(), 1);
  EXPECT_EQ(re.SubMatchCount(), 1);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(""));

  re.Search("((a)|(b))(c)", "bc");
  EXPECT_EQ(re.SubMatchCount(), 4);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText("b"));
  EXPECT_EQ(re.SubMatchText(1, 2), GbkText(""));
  EXPECT_EQ(re.SubMatchText(1, 3), GbkText("b"));
  EXPECT_EQ(re.SubMatchText(1, 4), GbkText("c"));
}

TEST(RegexObject, FailuresAreEmpty) {
  RegexObject re;
  // before any search
  EXPECT_EQ(re.MatchCount(), 0);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText());
  EXPECT_EQ(re.CurrentPattern(), GbkText());
  EXPECT_EQ(re.ReplaceMatches("x"), GbkText());
  EXPECT_EQ(re.SubMatchCount(), 0);

  // a search that finds nothing replaces the last results completely
  ASSERT_TRUE(re.Search("(a)", "a a"));
  EXPECT_EQ(re.MatchCount(), 2);
  EXPECT_TRUE(re.Search("(z)", "a a"));
  EXPECT_EQ(re.MatchCount(), 0);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText());
  EXPECT_EQ(re.MatchText(1), GbkText());
  EXPECT_EQ(re.SubMatchCount(), 0);

  // numbers out of range
  ASSERT_TRUE(re.Search("(a)(b)", "ab ab"));
  int32_t position = 7;
  for (auto [i, j] :
       std::vector<std::pair<int32_t, int32_t>>{{0, 1}, {-1, 1}, {3, 1}, {1, 0}, {1, -2}, {1, 3}}) {
    EXPECT_EQ(re.SubMatchText(i, j, &position), GbkText()) << i << "," << j;
    EXPECT_EQ(position, -1);
  }
  for (int32_t i : {0, -1, 3}) EXPECT_EQ(re.MatchText(i), GbkText()) << i;

  // an empty subject
  EXPECT_TRUE(re.Search("(a)", ""));
  EXPECT_EQ(re.MatchCount(), 0);

  // a pattern the engine rejects
  for (const char* bad : {"(", "a{2,1}", "[b-a]", "*a"}) {
    EXPECT_FALSE(re.Search(bad, "aaa")) << bad;
    EXPECT_EQ(re.MatchCount(), 0) << bad;
    EXPECT_EQ(re.SubMatchText(1, 1), GbkText()) << bad;
  }
}

TEST(RegexObject, QuotePlaceholder) {
  RegexObject re;
  re.Search("href=#引号(.{1,10})#引号", "<a href=\"abc\">", {}, {}, {}, true);
  EXPECT_EQ(re.CurrentPattern(), GbkText("href=\"(.{1,10})\""));
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText("abc"));
  re.Search("href=#引号(.{1,10})#引号", "<a href=\"abc\">");
  EXPECT_EQ(re.MatchCount(), 0);
  EXPECT_EQ(re.CurrentPattern(), GbkText("href=#引号(.{1,10})#引号"));
}

TEST(RegexObject, ReplaceMatches) {
  struct Case {
    const char *pattern, *subject, *replacement, *want;
  };
  const Case cases[] = {
      {"(a)(b)", "xaby", "[$2$1|$&|$`|$'|$$]", "x[ba|ab|x|y|$]y"},
      {"(a)(b)", "xaby", "[$3|$0|$12|$]", "x[$3|$0|a2|$]y"},
      {"o", "foo boo", "0", "f00 b00"},
      {"中(.)", "中文中a", "<$1>", "<文><a>"},
  };
  for (const Case& c : cases) {
    RegexObject re;
    re.Search(c.pattern, c.subject);
    EXPECT_EQ(re.ReplaceMatches(c.replacement), GbkText(c.want)) << c.replacement;
  }
  RegexObject first;
  first.Search("o", "foo", {}, {}, false);
  EXPECT_EQ(first.ReplaceMatches("0"), GbkText("f0o"));
}

TEST(RegexObject, PositionsAreByteOffsets) {
  RegexObject re;
  re.Search("文(.)", "中文ab文c");
  int32_t position = -2;
  EXPECT_EQ(re.MatchText(1, &position), GbkText("文a"));
  EXPECT_EQ(position, 2);
  EXPECT_EQ(re.MatchText(2, &position), GbkText("文c"));
  EXPECT_EQ(position, 6);
  EXPECT_EQ(re.SubMatchText(2, 1, &position), GbkText("c"));
  EXPECT_EQ(position, 8);
  // A text that also stands inside an earlier double-byte character ("\x81" "a" is one
  // character whose trail byte is "a") is found where the engine found it.
  re.Search("a",
            "\x81"
            "aa");
  EXPECT_EQ(re.MatchCount(), 1);
  EXPECT_EQ(re.MatchText(1, &position), GbkText("a"));
  EXPECT_EQ(position, 2);
}

// The page shapes the program meets: the preview rows, the download link, the file name
// header, the advert document.
TEST(RegexObject, ThePatternsOfTheProgram) {
  const std::string row1 =
      "<tr><td>电影/第一集.mkv</td><td style=\"text-align:right\">700.25 MB</td></tr>";
  const std::string row2 = "<tr><td>字幕.srt</td><td style=\"text-align:right\">12 KB</td></tr>";
  const std::string tooLong =
      "<tr><td>" + std::string(101, 'n') + "</td><td style=\"text-align:right\">1 MB</td></tr>";
  const std::string sizeTooLong =
      "<tr><td>x</td><td style=\"text-align:right\">1234567890</td></tr>";
  struct Case {
    std::string page;
    std::vector<std::pair<std::string, std::string>> rows;
  };
  const Case cases[] = {
      // Rows on one line: the greedy group runs on to the last row end within its bound, so
      // the two rows read as one (services put each row on a line of its own).
      {"<table>" + row1 + row2 + "</table>",
       {{"电影/第一集.mkv</td><td style=\"text-align:right\">700.25 MB</td></tr><tr><td>字幕.srt",
         "12 KB"}}},
      {"<table>\r\n" + row1 + "\r\n" + row2 + "\r\n</table>",
       {{"电影/第一集.mkv", "700.25 MB"}, {"字幕.srt", "12 KB"}}},
      {"<TR><TD>A</TD><TD STYLE=\"TEXT-ALIGN:RIGHT\">1 B</TD></TR>", {{"A", "1 B"}}},
      {tooLong + sizeTooLong, {}},
      {"<tr><td>a\r\nb</td><td style=\"text-align:right\">1 B</td></tr>", {}},
  };
  for (const Case& c : cases) {
    RegexObject re;
    re.Search(kPreviewRowPattern, c.page);
    std::vector<std::pair<std::string, std::string>> rows;
    for (int32_t i = 1; i <= re.MatchCount(); ++i)
      rows.emplace_back(re.SubMatchText(i, 1).str(), re.SubMatchText(i, 2).str());
    EXPECT_EQ(rows, c.rows) << c.page;
  }

  RegexObject re;
  re.Search(
      kDownloadLinkPattern,
      "<a href=\"./down.php?hash=ABC\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a>");
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText("/down.php?hash=ABC"));

  re.Search(kFileNamePattern,
            "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=种子 "
            "名[pellucor.local].torrent\r\n\r\n");
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText("种子 名"));
  re.Search(kFileNamePattern,
            "Content-Disposition: attachment; filename=x[pellucorXlocal].torrent\r\n");
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText("x"));  // the site tag's dot matches any character
  re.Search(kFileNamePattern,
            "Content-Disposition: attachment; filename=x[other.site].torrent\r\n");
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(""));

  const std::string document =
      "Pellucor广告投放ok\r\n广告地址：http://ad.example/landing\r\n广告图片地址：http://"
      "ad.example/a.jpg\r\n";
  // "." takes the "\r" of a CR LF line end into the value
  const char* cr = UnderWine() ? "" : "\r";
  re.Search(kAdPicturePattern, document);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(std::string("http://ad.example/a.jpg") + cr));
  re.Search(kAdLinkPattern, document);
  EXPECT_EQ(re.SubMatchText(1, 1), GbkText(std::string("http://ad.example/landing") + cr));
}

}  // namespace
}  // namespace pellucor
