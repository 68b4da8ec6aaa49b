#include "service/sites/pages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "base/utf8.h"

namespace pellucor::service {
namespace {

// The length of a match of "[" + `tag` + "].torrent" at `name[at]`, the tag's dots standing for
// any one character; 0 when there is none.
size_t TagMatch(std::string_view name, size_t at, std::string_view tag) {
  if (name[at] != '[') return 0;
  size_t i = at + 1;
  for (char t : tag) {
    if (i >= name.size()) return 0;
    if (t == '.') {
      const size_t length = static_cast<unsigned char>(name[i]) < 0x80
                                ? 1
                                : std::max<size_t>(1, Utf8SequenceLength(name, i));
      i += length;
    } else if (name[i++] != t) {
      return 0;
    }
  }
  constexpr std::string_view kEnd = "].torrent";
  if (name.substr(i, kEnd.size()) != kEnd) return 0;
  return i + kEnd.size() - at;
}

}  // namespace

Response Page(http::status status, const char* type, const std::string& body) {
  return MakeResponse(status, type, kPageHead + body + kPageTail);
}

Response TorrentReply(const std::shared_ptr<const StoredTorrent>& torrent) {
  return MakeResponse(http::status::ok, "application/x-bittorrent",
                      std::shared_ptr<const std::string>(torrent, &torrent->bytes));
}

http::status MissStatus(const LookupReport* report) {
  if (report && report->outcome == Outcome::kTooManyLookups) return http::status::too_many_requests;
  if (report &&
      (report->outcome == Outcome::kStoreUnavailable || report->outcome == Outcome::kBusy))
    return http::status::service_unavailable;
  return http::status::not_found;
}

std::string WhyParagraph(const LookupReport* report) {
  return report ? "<p>" + HtmlEscape(OutcomeSentence(*report)) + "</p>\n" : "";
}

std::string RowText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return HtmlEscape(out);
}

std::string DownloadName(std::string_view name, std::string_view siteTag, size_t maxBytes) {
  std::string out;
  // PrintableUtf8 makes controls and direction changes U+FFFD; those go, as do the characters
  // that could end the header's value and start a parameter of the name's own.
  const std::string printable = PrintableUtf8(name);
  for (size_t i = 0; i < printable.size(); ++i) {
    const char c = printable[i];
    if (printable.compare(i, 3, "\xEF\xBF\xBD") == 0) {
      i += 2;
      continue;
    }
    if (c == ';' || c == '"') continue;
    out.push_back(c == '/' || c == '\\' ? '_' : c);
  }
  if (out.empty()) out = "torrent";
  for (size_t i = 0; i < out.size(); ++i) {
    const size_t match = TagMatch(out, i, siteTag);
    if (match == 0) continue;
    out[i] = '(';
    out[i + match - sizeof("].torrent") + 1] = ')';
    i += match - 1;
  }
  maxBytes = std::max<size_t>(maxBytes, 1);
  if (out.size() > maxBytes) {
    size_t cut = maxBytes;
    // Back to the start of the character the cut falls in.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut == 0 ? maxBytes : cut);
  }
  return out;
}

std::string HumanSize(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  // Keep the number below 1000 so that "999.99 XB" is the longest form.
  while (value >= 999.995 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
  return text;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

}  // namespace pellucor::service
