// The seam under RegexObject: one engine instance, holding one search's pattern, options and
// match collection. regex_object_vbscript.cpp (Windows) and regex_object_pcre2.cpp implement
// it. Numbers here are the engine's: 0-based, in UTF-16 code units.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "base/text.h"

namespace pellucor {

class RegexEngine {
 public:
  virtual ~RegexEngine() = default;
  // Sets the options and pattern, then runs the search; false when the engine rejects the
  // pattern (no match collection).
  virtual bool Execute(const GbkText& pattern, const GbkText& subject, bool ignoreCase,
                       bool multiline, bool global) = 0;
  virtual int32_t MatchCount() = 0;  // 0 without a collection
  // Match k: its text and its start, in UTF-16 units of the subject.
  virtual std::optional<GbkText> MatchValue(int32_t k) = 0;
  virtual std::optional<int32_t> MatchIndex(int32_t k) = 0;
  // Group g of match k; empty text for a group that took no part.
  virtual std::optional<GbkText> Group(int32_t k, int32_t g) = 0;
  virtual int32_t GroupCount(int32_t k) = 0;
  virtual GbkText Pattern() = 0;
  virtual GbkText Replace(const GbkText& subject, const GbkText& replacement) = 0;
};

// A fresh engine instance, or nothing when the engine is not available.
std::unique_ptr<RegexEngine> NewRegexEngine();

// Bracket a thread's use of the engine (CoInitialize / CoUninitialize on Windows).
void EnterRegexThread();
void LeaveRegexThread();

}  // namespace pellucor
