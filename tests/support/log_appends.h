// Runs of log messages (GBK bytes, written as escapes so that both window tests can share them
// whatever their literals' character set) whose appending in one edit could read differently
// from appending them one by one, each run after the user's own text with a selection at its
// start.
#pragma once

#include <string>
#include <vector>

namespace pellucor::testing {

struct LogAppendCase {
  const char* what;
  std::vector<std::string> messages;
};

inline const std::vector<LogAppendCase>& LogAppendCases() {
  static const std::vector<LogAppendCase> cases = {
      // "\xD6\xD0" is one character; split over two messages it is two unknown bytes
      {"a lead byte ends one message, its trail begins the next", {"x\xD6", "\xD0y\r\n"}},
      {"a CR ends one message, an LF begins the next", {"a\r", "\nb\r\n"}},
      {"line breaks of every kind", {"\r", "\r\n", "\n", "\r\r\n\n", "c\r"}},
      {"empty messages among others", {"", "d\r\n", "", "\r\n\r\n", ""}},
      {"only empty messages", {"", ""}},
      {"preview lines",
       {"\xB5\xE7\xD3\xB0/\xB5\xDA\xD2\xBB\xBC\xAF.mkv\xA1\xBE\xCE\xC4\xBC\xFE\xB4\xF3\xD0\xA1"
        "\xA3\xBA"
        "700.25 MB\xA1\xBF\r\n",
        "x.srt\xA1\xBE\xCE\xC4\xBC\xFE\xB4\xF3\xD0\xA1\xA3\xBA"
        "1 B\xA1\xBF\r\n",
        "---------------\r\n"}},
  };
  return cases;
}

}  // namespace pellucor::testing
