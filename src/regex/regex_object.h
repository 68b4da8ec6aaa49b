// Pattern matching over web pages: a search with a pattern over a subject text, then the
// number of matches and the text of each match or group, by 1-based numbers.
//
// The engine is the platform's: VBScript.RegExp through COM automation on Windows, PCRE2 with
// 16-bit code units elsewhere, set up to behave alike. Text crosses to the engine as UTF-16
// converted from GBK and comes back as GBK. The pattern syntax is the engine's; what the
// program relies on: "." matches every character but "\n" (a "\r" is matched), "^"/"$" work
// per line in multi-line mode, greedy bounded repetition, groups numbered by opening
// parenthesis, a group that took no part gives empty text.
//
// Search defaults (what callers use): case-insensitive, multi-line, global, no quote
// placeholder. Every failure — no engine, a pattern the engine rejects, a number out of
// range — gives an empty value: false, 0 or empty text.
//   Search("abc", "ABC abc") -> MatchCount() 2, MatchText(1) "ABC", MatchText(2) "abc"
//   Search("(.{1,100})", "a\r\nb") -> SubMatchText(1, 1) "a\r", SubMatchText(2, 1) "b"
#pragma once

#include <memory>
#include <optional>

#include "base/text.h"

namespace pellucor {

class RegexEngine;

class RegexObject {
 public:
  RegexObject();   // prepares the calling thread for the engine (COM on Windows)
  ~RegexObject();  // Release()
  RegexObject(const RegexObject&) = delete;
  RegexObject& operator=(const RegexObject&) = delete;

  // A new engine instance for every search; options are set afresh each time. With
  // quotePlaceholder, every "#引号" in the pattern becomes a double quote first. True when the
  // engine ran and gave a match collection, even an empty one.
  bool Search(const GbkText& pattern, const GbkText& subject,
              std::optional<bool> caseSensitive = {}, std::optional<bool> multiLine = {},
              std::optional<bool> global = {}, std::optional<bool> quotePlaceholder = {});
  int32_t MatchCount();
  // `position`, when given, receives the 0-based byte offset of the returned text in the
  // subject, or -1. For a group it is where the group's text first stands at or after the
  // start of its match (the engine reports no group positions).
  GbkText SubMatchText(int32_t match, int32_t group, int32_t* position = nullptr);
  GbkText MatchText(int32_t match, int32_t* position = nullptr);
  int32_t SubMatchCount();  // groups in the first match
  GbkText CurrentPattern();
  // The engine's replacement over the last subject: $1..$99, $&, $`, $' and $$ expand.
  GbkText ReplaceMatches(const GbkText& replacement);
  // Drops the engine, its matches and the subject; the thread's engine preparation ends.
  void Release();

 private:
  int32_t ByteOffset(int32_t matchIndex, const GbkText& text);

  std::unique_ptr<RegexEngine> engine_;
  GbkText subject_;
  bool released_ = false;
};

}  // namespace pellucor
