// The regular-expression engine on PCRE2 with 16-bit code units and no UTF mode, so that it
// sees the same UTF-16 units as the Windows engine and counts positions alike. Options are set
// to give that engine's behaviour: line feed is the only newline ("." matches "\r"), "$"
// without multi-line matches only at the very end, letters of every script fold when case is
// ignored, \uXXXX escapes are understood, and a global search steps one unit past an empty
// match.
#if defined(_WIN32)
#error "regex_object_pcre2.cpp is for non-Windows builds; Windows uses regex_object_vbscript.cpp"
#endif

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "regex/regex_engine.h"

namespace pellucor {
namespace {

// Positions fit 32 bits: a subject is a GbkText, whose length is an int32_t.
constexpr uint32_t kUnset = UINT32_MAX;

struct Span {
  uint32_t start = kUnset, end = kUnset;
};

// Every match's spans in one array: the whole match, then each group, per match.
struct Matches {
  size_t stride = 1;  // spans per match: 1 + the number of groups
  std::vector<Span> spans;

  size_t size() const { return spans.size() / stride; }
  const Span& Whole(size_t k) const { return spans[k * stride]; }
  const Span& Group(size_t k, size_t g) const { return spans[k * stride + 1 + g]; }
  size_t GroupCount() const { return stride - 1; }
};

std::u16string Units(const GbkText& text) {
  return GbkToUtf16(text.view());
}
// The text of a span, converted straight from the subject's units.
GbkText Text(std::u16string_view units) {
  return GbkText(Utf16ToGbk(units));
}
GbkText Text(const std::u16string& subject, const Span& s) {
  return Text(std::u16string_view(subject).substr(s.start, s.end - s.start));
}

class Pcre2Engine final : public RegexEngine {
 public:
  ~Pcre2Engine() override {
    if (code_) pcre2_code_free(code_);
  }

  bool Execute(const GbkText& pattern, const GbkText& subject, bool ignoreCase, bool multiline,
               bool global) override {
    pattern_ = Units(pattern);
    global_ = global;
    uint32_t options = PCRE2_ALT_BSUX;
    if (ignoreCase) options |= PCRE2_CASELESS | PCRE2_UCP;
    options |= multiline ? PCRE2_MULTILINE : PCRE2_DOLLAR_ENDONLY;
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_LF);
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(), options,
                          &error, &errorOffset, context);
    pcre2_compile_context_free(context);
    if (!code_) return false;
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // where JIT is unavailable, matching interprets
    subject_ = Units(subject);
    matches_ = FindAll(subject_);
    return true;
  }

  int32_t MatchCount() override { return static_cast<int32_t>(matches_.size()); }

  std::optional<GbkText> MatchValue(int32_t k) override {
    if (k < 0 || k >= MatchCount()) return std::nullopt;
    return Text(subject_, matches_.Whole(k));
  }

  std::optional<int32_t> MatchIndex(int32_t k) override {
    if (k < 0 || k >= MatchCount()) return std::nullopt;
    return static_cast<int32_t>(matches_.Whole(k).start);
  }

  std::optional<GbkText> Group(int32_t k, int32_t g) override {
    if (k < 0 || k >= MatchCount() || g < 0 || g >= static_cast<int32_t>(matches_.GroupCount()))
      return std::nullopt;
    const Span& s = matches_.Group(k, g);
    if (s.start == kUnset) return GbkText();
    return Text(subject_, s);
  }

  int32_t GroupCount(int32_t k) override {
    if (k < 0 || k >= MatchCount()) return 0;
    return static_cast<int32_t>(matches_.GroupCount());
  }

  GbkText Pattern() override { return Text(pattern_); }

  GbkText Replace(const GbkText& subject, const GbkText& replacement) override {
    if (!code_) return {};
    const std::u16string s = Units(subject);
    const Matches matches = FindAll(s);
    const std::u16string r = Units(replacement);
    std::u16string out;
    size_t copied = 0;
    for (size_t k = 0; k < matches.size(); ++k) {
      out.append(s, copied, matches.Whole(k).start - copied);
      Expand(r, matches, k, s, out);
      copied = matches.Whole(k).end;
    }
    out.append(s, copied, std::u16string::npos);
    return Text(out);
  }

 private:
  // Every match in subject order (only the first without `global`). After an empty match the
  // next search starts one unit further on.
  Matches FindAll(const std::u16string& subject) const {
    uint32_t captures = 0;
    pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &captures);
    Matches found;
    found.stride = captures + 1;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
    const auto* units = reinterpret_cast<PCRE2_SPTR>(subject.data());
    for (size_t from = 0; from <= subject.size();) {
      if (pcre2_match(code_, units, subject.size(), from, 0, data, nullptr) < 0) break;
      const PCRE2_SIZE* v = pcre2_get_ovector_pointer(data);
      for (size_t i = 0; i < found.stride; ++i) {
        const bool set = v[2 * i] != PCRE2_UNSET;
        found.spans.push_back({set ? static_cast<uint32_t>(v[2 * i]) : kUnset,
                               set ? static_cast<uint32_t>(v[2 * i + 1]) : kUnset});
      }
      if (!global_) break;
      from = v[1] > v[0] ? v[1] : v[1] + 1;
    }
    pcre2_match_data_free(data);
    return found;
  }

  // The replacement text for match k: $1..$99 (two digits when that group exists), $& the
  // match, $` the text before it, $' the text after it, $$ a dollar; anything else as is.
  static void Expand(const std::u16string& r, const Matches& matches, size_t k,
                     const std::u16string& s, std::u16string& out) {
    const size_t groups = matches.GroupCount();
    const Span& whole = matches.Whole(k);
    auto piece = [&](const Span& span) {
      if (span.start != kUnset) out.append(s, span.start, span.end - span.start);
    };
    for (size_t i = 0; i < r.size(); ++i) {
      if (r[i] != u'$' || i + 1 >= r.size()) {
        out.push_back(r[i]);
        continue;
      }
      const char16_t c = r[i + 1];
      if (c == u'$') {
        out.push_back(u'$');
        ++i;
      } else if (c == u'&') {
        piece(whole);
        ++i;
      } else if (c == u'`') {
        out.append(s, 0, whole.start);
        ++i;
      } else if (c == u'\'') {
        out.append(s, whole.end, std::u16string::npos);
        ++i;
      } else if (c >= u'0' && c <= u'9') {
        size_t n = c - u'0';
        size_t used = 1;
        if (i + 2 < r.size() && r[i + 2] >= u'0' && r[i + 2] <= u'9') {
          const size_t two = n * 10 + (r[i + 2] - u'0');
          if (two >= 1 && two <= groups) {
            n = two;
            used = 2;
          }
        }
        if (n >= 1 && n <= groups) {
          piece(matches.Group(k, n - 1));
          i += used;
        } else {
          out.push_back(r[i]);
        }
      } else {
        out.push_back(r[i]);
      }
    }
  }

  std::u16string pattern_, subject_;
  pcre2_code* code_ = nullptr;
  bool global_ = true;
  Matches matches_;
};

}  // namespace

std::unique_ptr<RegexEngine> NewRegexEngine() {
  return std::make_unique<Pcre2Engine>();
}

void EnterRegexThread() {}
void LeaveRegexThread() {}

}  // namespace pellucor
