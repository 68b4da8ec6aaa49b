#include "base/utf8.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

// What a hostile service or torrent name could put on a terminal, and what is printed instead.
TEST(Utf8, PrintableTextHasNoControlsOrDirectionChanges) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain \xE4\xB8\xAD\xE6\x96\x87 name.torrent",
       "plain \xE4\xB8\xAD\xE6\x96\x87 name.torrent"},
      {"a\x1B]0;title\x07z", "a" + r + "]0;title" + r + "z"},  // window title
      {"\x1B]52;c;ZXZpbA==\x07", r + "]52;c;ZXZpbA==" + r},    // clipboard write
      {"x\r\nOK 0123 forged.torrent", "x" + r + r + "OK 0123 forged.torrent"},
      {"\x7F\t\x01", r + r + r},
      {"\xC2\x85\xC2\x9B[31m", r + r + "[31m"},           // C1: NEL, CSI
      {"cod\xE2\x80\xAEgpj.exe", "cod" + r + "gpj.exe"},  // right-to-left override
      {"\xE2\x81\xA6x\xE2\x81\xA9\xD8\x9C\xE2\x80\x8F", r + "x" + r + r + r},
      {"\xB5\xE7\xFF", r + r + r},                                 // not UTF-8
      {"\xE2\x80\xA6 \xEF\xBF\xBD", "\xE2\x80\xA6 \xEF\xBF\xBD"},  // ellipsis, U+FFFD itself
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableUtf8(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace pellucor
