#include "service/core/log.h"

#include <gtest/gtest.h>

#include <string>

namespace pellucor::service {
namespace {

// A value as the log writes it: plain when nothing in it could split the line or reach the
// terminal as anything but text, else quoted with escapes.
TEST(Log, ValuesNeverBreakALineNorReachTheTerminal) {
  const struct {
    std::string value, written;
  } cases[] = {
      {"plain", "plain"},
      {"电影", "电影"},
      {"two words", "\"two words\""},
      {"a\"b\\c=d", "\"a\\\"b\\\\c=d\""},
      {"line\nbreak\r\t", "\"line\\nbreak\\r\\t\""},
      {"\x1b]52;c;eA==\x07", "\"\\x1b]52;c;eA==\\x07\""},
      {"\xff\xfe", "\"\\xff\\xfe\""},
      {"next\xc2\x85line", "\"next\\u0085line\""},          // C1: NEL
      {"cod\xe2\x80\xaegpj.exe", "\"cod\\u202egpj.exe\""},  // right-to-left override
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\"\\u2066x\\u2069\""},
      {"", "\"\""},
  };
  std::string line;
  SetLogSink([&line](const std::string& l) { line = l; });
  for (const auto& c : cases) {
    Log(LogLevel::kError, "test", {{"v", c.value}});
    const size_t at = line.find(" v=");
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(line.substr(at + 3), c.written) << c.value;
  }
  SetLogSink(nullptr);
}

}  // namespace
}  // namespace pellucor::service
