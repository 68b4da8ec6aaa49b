#include "regex/regex_object.h"

#include <utility>

#include "base/codepage.h"
#include "regex/regex_engine.h"

namespace pellucor {

RegexObject::RegexObject() {
  EnterRegexThread();
}

RegexObject::~RegexObject() {
  Release();
}

void RegexObject::Release() {
  if (released_) return;
  engine_.reset();
  subject_ = GbkText();
  LeaveRegexThread();
  released_ = true;
}

bool RegexObject::Search(const GbkText& pattern, const GbkText& subject,
                         std::optional<bool> caseSensitive, std::optional<bool> multiLine,
                         std::optional<bool> global, std::optional<bool> quotePlaceholder) {
  engine_.reset();
  engine_ = NewRegexEngine();
  const GbkText effective =
      quotePlaceholder.value_or(false) ? ReplaceText(pattern, "#引号", "\"", 1, -1, true) : pattern;
  bool ran = false;
  if (engine_) {
    ran = engine_->Execute(effective, subject, !caseSensitive.value_or(false),
                           multiLine.value_or(true), global.value_or(true));
  }
  subject_ = subject;
  return ran;
}

int32_t RegexObject::MatchCount() {
  return engine_ ? engine_->MatchCount() : 0;
}

GbkText RegexObject::MatchText(int32_t match, int32_t* position) {
  std::optional<GbkText> text;
  if (engine_ && match >= 1) text = engine_->MatchValue(match - 1);
  if (position) *position = text ? ByteOffset(match - 1, *text) : -1;
  return std::move(text).value_or(GbkText());
}

GbkText RegexObject::SubMatchText(int32_t match, int32_t group, int32_t* position) {
  std::optional<GbkText> text;
  if (engine_ && match >= 1 && group >= 1) text = engine_->Group(match - 1, group - 1);
  if (position) *position = text ? ByteOffset(match - 1, *text) : -1;
  return std::move(text).value_or(GbkText());
}

int32_t RegexObject::SubMatchCount() {
  return engine_ ? engine_->GroupCount(0) : 0;
}

GbkText RegexObject::CurrentPattern() {
  return engine_ ? engine_->Pattern() : GbkText();
}

GbkText RegexObject::ReplaceMatches(const GbkText& replacement) {
  return engine_ ? engine_->Replace(subject_, replacement) : GbkText();
}

// The byte offset in the subject where `text` first stands at or after the start of match k.
// The search runs in UTF-16 units, where the engine's index counts, and the unit found is
// mapped back to the byte where its character begins: no search can fall out of phase.
int32_t RegexObject::ByteOffset(int32_t k, const GbkText& text) {
  const std::optional<int32_t> index = engine_->MatchIndex(k);
  if (!index || *index < 0) return -1;
  const std::u16string units = GbkToUtf16(subject_.view());
  const size_t at = units.find(GbkToUtf16(text.view()), static_cast<size_t>(*index));
  if (at == std::u16string::npos) return -1;
  // Walk the bytes the way GbkToUtf16 reads them, one unit per character.
  const std::string_view s = subject_.view();
  size_t byte = 0;
  for (size_t unit = 0; unit < at && byte < s.size(); ++unit) {
    const unsigned char c = static_cast<unsigned char>(s[byte]);
    const bool pair = c >= 0x81 && c <= 0xFE && byte + 1 < s.size() && s[byte + 1] != 0;
    byte += pair ? 2 : 1;
  }
  return static_cast<int32_t>(byte);
}

}  // namespace pellucor
