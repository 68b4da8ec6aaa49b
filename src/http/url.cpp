#include "http/url.h"

#include "base/codepage.h"
#include "base/hex.h"

namespace pellucor {
namespace {

GbkText WithQuotes(const GbkText& marker) {
  if (marker.view().find('#') == std::string_view::npos) return marker;  // the common case
  return ReplaceText(marker, "#引号", "\"", 1, -1, true);
}

}  // namespace

GbkText TextBetween(const GbkText& text, const GbkText& left, const GbkText& right,
                    std::optional<int32_t> start, bool caseSensitive) {
  const GbkText l = WithQuotes(left), r = WithQuotes(right);
  int32_t p = FindText(text, l, start, !caseSensitive);
  if (p != -1) p += TextLength(l);
  const int32_t q =
      FindText(text, r, p != -1 ? std::optional<int32_t>(p) : std::nullopt, !caseSensitive);
  if (p == -1 || q == -1) return {};
  return MiddlePart(text, p, q - p);
}

GbkText HeaderValue(const GbkText& line) {
  const int32_t colon = FindText(line, ":");
  if (colon == -1) return {};
  return TrimBoth(MiddlePart(line, colon + 1, TextLength(line)));
}

GbkText UrlHost(const GbkText& url, bool mainDomainOnly, bool keepPort) {
  GbkText u = LowerCaseAscii(url);
  if (RightPart(u, 1) != GbkText("/")) u = ConcatText(u, "/");
  GbkText host;
  if (LeftPart(u, 8) == GbkText("https://")) {
    host = TextBetween(u, "https://", "/");
  } else {
    if (FindText(u, "http://") == -1) u = ConcatText("http://", u);
    host = TextBetween(u, "http://", "/");
  }
  if (mainDomainOnly) {
    const TextArray labels = SplitText(host, ".");
    const int32_t n = ElementCount(labels);
    if (n >= 2) host = ConcatText(labels[n - 1], ".", labels[n]);
  }
  if (keepPort) return host;
  const int32_t colon = FindText(host, ":");
  return colon == -1 ? host : LeftPart(host, colon - 1);
}

int32_t UrlPort(const GbkText& url) {
  const GbkText host = UrlHost(url, false, true);
  const int32_t colon = FindTextReverse(host, ":");
  if (colon != -1) return ToInteger(MiddlePart(host, colon + 1, TextLength(host)));
  return LowerCaseAscii(LeftPart(url, 5)) == GbkText("https") ? 443 : 80;
}

GbkText UrlPath(const GbkText& url) {
  const int32_t p = FindText(url, UrlHost(url), {}, true);
  const int32_t q = FindText(url, "/", p != -1 ? std::optional<int32_t>(p) : std::nullopt, true);
  return q == -1 ? GbkText("/") : MiddlePart(url, q, TextLength(url));
}

GbkText RequestTarget(const GbkText& path) {
  std::string_view s = path.view();
  s = s.substr(0, s.find('#'));
  std::string kept;
  for (char c : s)
    if (c != '\t') kept.push_back(c);
  std::string_view t = kept;
  while (!t.empty() && static_cast<unsigned char>(t.front()) <= 0x20) t.remove_prefix(1);
  while (!t.empty() && static_cast<unsigned char>(t.back()) <= 0x20) t.remove_suffix(1);

  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (GbkCharWidth(t, i) == 2) {  // a double-byte character: both bytes
      AppendPercentEncoded(out, c);
      AppendPercentEncoded(out, static_cast<unsigned char>(t[++i]));
    } else if (c <= 0x20 || c >= 0x7F) {
      AppendPercentEncoded(out, c);
    } else {
      out.push_back(c == '\\' ? '/' : static_cast<char>(c));
    }
  }
  return GbkText(out);
}

}  // namespace pellucor
