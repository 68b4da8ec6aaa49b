// The regular-expression engine on Windows: the automation class VBScript.RegExp, driven only
// through LateBoundCall. Numbers go to the engine as doubles and come back as doubles,
// truncated toward zero.
#if !defined(_WIN32)
#error "regex_object_vbscript.cpp is the Windows back end; other builds use regex_object_pcre2.cpp"
#endif

#include <cmath>

#include "regex/late_bound_call.h"
#include "regex/regex_engine.h"

namespace pellucor {
namespace {

int32_t Truncated(double d) {
  return static_cast<int32_t>(std::trunc(d));
}

class VbscriptEngine final : public RegexEngine {
 public:
  explicit VbscriptEngine(ComObject regexp) : regexp_(std::move(regexp)) {}

  bool Execute(const GbkText& pattern, const GbkText& subject, bool ignoreCase, bool multiline,
               bool global) override {
    LateBoundPut(regexp_.get(), "IgnoreCase", ignoreCase);
    LateBoundPut(regexp_.get(), "Multiline", multiline);
    LateBoundPut(regexp_.get(), "Global", global);
    LateBoundPut(regexp_.get(), "Pattern", pattern);
    matches_ = LateBoundObject(regexp_.get(), "Execute", CallMode::Method, {subject});
    itemIndex_ = -1;
    item_.Reset();
    itemGroups_.Reset();
    return static_cast<bool>(matches_);
  }

  int32_t MatchCount() override {
    return Truncated(LateBoundNumber(matches_.get(), "Count", CallMode::PropertyGet));
  }

  std::optional<GbkText> MatchValue(int32_t k) override {
    const ComObject match = Item(k);
    if (!match) return std::nullopt;
    Variant v;
    GbkText text;
    if (!LateBoundVariant(match.get(), "Value", CallMode::PropertyGet, {}, v) ||
        !VariantToText(*v.get(), text))
      return std::nullopt;
    return text;
  }

  std::optional<int32_t> MatchIndex(int32_t k) override {
    const ComObject match = Item(k);
    if (!match) return std::nullopt;
    Variant v;
    if (!LateBoundVariant(match.get(), "FirstIndex", CallMode::PropertyGet, {}, v))
      return std::nullopt;
    VARIANT d;
    VariantInit(&d);
    if (FAILED(VariantChangeType(&d, v.get(), 0, VT_R8))) return std::nullopt;
    return Truncated(d.dblVal);
  }

  std::optional<GbkText> Group(int32_t k, int32_t g) override {
    IDispatch* groups = GroupsOf(k);
    if (!groups) return std::nullopt;
    Variant value;
    if (!LateBoundVariant(groups, "Item", CallMode::PropertyGet, {static_cast<double>(g)}, value))
      return std::nullopt;
    GbkText text;
    if (!VariantToText(*value.get(), text)) return std::nullopt;
    return text;
  }

  int32_t GroupCount(int32_t k) override {
    IDispatch* groups = GroupsOf(k);
    if (!groups) return 0;
    return Truncated(LateBoundNumber(groups, "Count", CallMode::PropertyGet));
  }

  GbkText Pattern() override {
    return LateBoundText(regexp_.get(), "Pattern", CallMode::PropertyGet);
  }

  GbkText Replace(const GbkText& subject, const GbkText& replacement) override {
    return LateBoundText(regexp_.get(), "Replace", CallMode::Method, {subject, replacement});
  }

 private:
  ComObject Item(int32_t k) {
    return LateBoundObject(matches_.get(), "Item", CallMode::PropertyGet, {static_cast<double>(k)});
  }

  // The group collection of match k. The last one asked for is kept: callers read a match's
  // groups one after another, and each look-up is two late-bound calls.
  IDispatch* GroupsOf(int32_t k) {
    if (k != itemIndex_ || !item_) {
      itemIndex_ = -1;
      itemGroups_.Reset();
      item_ = Item(k);
      if (!item_) return nullptr;
      itemGroups_ = LateBoundObject(item_.get(), "SubMatches", CallMode::PropertyGet);
      itemIndex_ = k;
    }
    return itemGroups_.get();
  }

  ComObject regexp_, matches_;
  int32_t itemIndex_ = -1;
  ComObject item_, itemGroups_;
};

}  // namespace

std::unique_ptr<RegexEngine> NewRegexEngine() {
  ComObject regexp;
  if (!CreateComObject("VBScript.RegExp", regexp)) return nullptr;
  return std::make_unique<VbscriptEngine>(std::move(regexp));
}

void EnterRegexThread() {
  CoInitialize(nullptr);
}
void LeaveRegexThread() {
  CoUninitialize();
}

}  // namespace pellucor
