#include "http/cookies.h"

namespace pellucor {

GbkText MergeCookies(GbkText& cookies, GbkText& newCookies) {
  cookies = RemoveBlanks(cookies);
  newCookies = RemoveBlanks(newCookies);
  const TextArray oldItems = SplitText(cookies, ";");
  TextArray items = SplitText(newCookies, ";");
  for (int32_t i = 1; i <= ElementCount(oldItems); ++i) {
    // The list is checked as it grows: of several old items with one name, the first wins.
    if (!HasCookieName(items, CookieName(oldItems[i]))) AppendElement(items, oldItems[i]);
  }
  GbkText merged;
  for (int32_t i = 1; i <= ElementCount(items); ++i) {
    if (RightPart(items[i], 8) == GbkText("=deleted")) continue;
    merged = ConcatText(merged, items[i], "; ");
  }
  merged = LeftPart(merged, TextLength(merged) - 2);
  cookies = RemoveDuplicateItems(merged, "; ");
  return cookies;
}

GbkText CookieName(const GbkText& entry) {
  const int32_t eq = FindText(entry, "=");
  return TrimBoth(eq == -1 ? entry : LeftPart(entry, eq - 1));
}

bool HasCookieName(const TextArray& entries, const GbkText& name) {
  for (int32_t i = 1; i <= ElementCount(entries); ++i)
    if (CompareText(CookieName(entries[i]), name) == 0) return true;
  return false;
}

GbkText RemoveDuplicateItems(const GbkText& text, const GbkText& separator) {
  const TextArray parts = SplitText(text, separator);
  TextArray seen;
  std::string out;
  for (int32_t i = 1; i <= ElementCount(parts); ++i) {
    if (HasItem(seen, parts[i])) continue;
    AppendElement(seen, parts[i]);
    out.append(parts[i].view());
    out.append(separator.view());
  }
  return LeftPart(GbkText(out), static_cast<int32_t>(out.size()) - TextLength(separator));
}

bool HasItem(const TextArray& entries, const GbkText& entry) {
  for (int32_t i = 1; i <= ElementCount(entries); ++i)
    if (CompareText(entries[i], entry) == 0) return true;
  return false;
}

}  // namespace pellucor
