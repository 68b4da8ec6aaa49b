#include "convert/routes.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/env.h"
#include "base/random.h"
#include "convert/magnet.h"
#include "http/decode.h"
#include "http/web_request.h"
#include "regex/regex_object.h"
#include "torrent/torrent_check.h"

namespace pellucor {
namespace {

constexpr int32_t kMinimumTorrentSize = 1000;
// The longest file name (in UTF-8 bytes) the routes write: what Linux file systems take, and
// within what NTFS takes, so that both builds save the same names.
constexpr size_t kMaxNameBytes = 255;
constexpr char kFormPrefixHash[] = "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A";
constexpr char kFormPrefixMagnet[] = "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A";
constexpr char kNotStoredText[] = "您输入的HASH暂未存储";
constexpr char kNotStoredMessage[] = "您输入的HASH暂未收录";
constexpr char kExpiredMessage[] = "磁力链接失效！";
constexpr char kCannotMakeText[] = "该磁力链接无法生成BT种子";
constexpr char kCannotMakeMessage[] = "该磁力链接无法生成BT种子\r\n";
constexpr char kSaveFailedMessage[] = "种子文件保存失败，请检查软件运行目录是否可写！\r\n";
constexpr char kPreviewRowPattern[] =
    "<tr><td>(.{1,100})</td><td style=\"text-align:right\">(.{1,9})</td></tr>";
constexpr char kDownloadLinkPattern[] =
    "href=\"\\.(.{1,300})\" class=\"btn btn-primary\" target=\"_blank\">点击下载";
constexpr char kPreviewSeparator[] =
    "---------------以上为该种子信息预览---------------\r\n正在转化种子，请稍后……\r\n";

GbkText InDirectory(const GbkText& directory, const GbkText& name) {
  return ConcatText(directory, kPathSeparator, name);
}

GbkText SuccessMessage(const GbkText& fileName, const char* end) {
  return ConcatText("种子获取成功，种子文件<", fileName, ">已经保存到软件运行目录！", end);
}

// A random four-digit number that names no file in `directory` yet ("1437" for
// "1437.torrent"); nothing when all 1001 are taken.
std::optional<GbkText> FreeRandomName(const GbkText& directory) {
  std::set<int32_t> tried;
  auto free = [&](int32_t n) -> std::optional<GbkText> {
    if (!tried.insert(n).second) return std::nullopt;
    const GbkText base = IntegerToText(n);
    if (PathExists(InDirectory(directory, ConcatText(base, ".torrent")))) return std::nullopt;
    return base;
  };
  for (int draw = 0; draw < 4 * 1001; ++draw)
    if (auto name = free(RandomInt(1000, 2000))) return name;
  for (int32_t n = 1000; n <= 2000; ++n)  // the draws kept missing the last free numbers
    if (auto name = free(n)) return name;
  return std::nullopt;
}

// `base` cut by whole characters from its end until `base` + `suffix` takes at most
// kMaxNameBytes in UTF-8; a cut end is made safe again (SafeFileName: no trailing dots or
// spaces, no device name). Empty when nothing of `base` fits.
GbkText FitName(const GbkText& base, std::string_view suffix) {
  const size_t tail = GbkToUtf8(suffix).size();
  auto fits = [&](const GbkText& name) {
    return GbkToUtf8(name.view()).size() + tail <= kMaxNameBytes;
  };
  if (fits(base)) return base;
  std::vector<size_t> ends;  // where each character of `base` ends
  const std::string_view s = base.view();
  for (size_t i = 0; i < s.size();) {
    i += GbkCharWidth(s, i);
    ends.push_back(i);
  }
  for (size_t keep = ends.size(); keep-- > 1;) {
    const GbkText cut = SafeFileName(GbkText(s.substr(0, ends[keep - 1])));
    if (!cut.empty() && fits(cut)) return cut;
  }
  return {};
}

// Whether the file `existing` is the torrent `bytes` already.
bool SameTorrent(const ByteBuffer& existing, const ByteBuffer& bytes, SameFile same) {
  if (existing == bytes) return true;
  if (same != SameFile::kSameInfo) return false;
  const std::optional<std::string_view> had = TorrentInfoBytes(existing.view());
  return had && had == TorrentInfoBytes(bytes.view());
}

// Saves `bytes` in `directory` as `base` + ".torrent", or with " (2)", " (3)" … before
// ".torrent" when a different file has the name, each cut to fit (FitName). A file that is the
// torrent already (SameTorrent) is kept. Names are taken with WriteNewFile, so conversions
// running side by side (threads or processes) never write one name twice. The name saved under;
// nothing when the names ran out or the file system refused one.
std::optional<GbkText> SaveAsBase(const GbkText& directory, const GbkText& base,
                                  const ByteBuffer& bytes, SameFile same) {
  for (int32_t n = 1; n <= 1000; ++n) {
    const std::string suffix =
        n == 1 ? std::string(".torrent") : " (" + std::to_string(n) + ").torrent";
    const GbkText fitted = FitName(base, suffix);
    if (fitted.empty()) return std::nullopt;
    const GbkText name = ConcatText(fitted, GbkText(suffix));
    const GbkText path = InDirectory(directory, name);
    // A name taken in the meantime is looked at again; a file is only ever there whole, but
    // one just moved into place may not be readable for a moment.
    bool different = false;
    for (int look = 0; look < 3 && !different; ++look) {
      if (PathExists(path)) {
        const std::optional<ByteBuffer> existing = ReadBytesFromFile(path);
        if (existing && SameTorrent(*existing, bytes, same)) return name;
        different = existing.has_value();  // then the next number
        continue;
      }
      const NewFileResult result = WriteNewFile(path, bytes);
      if (result == NewFileResult::Written) return name;
      if (result == NewFileResult::Failed) return std::nullopt;
    }
  }
  return std::nullopt;
}

// Saves `bytes` under a random four-digit name that no file in `directory` has; another draw
// when a conversion beside this one took the name first. The name saved under.
std::optional<GbkText> SaveUnderRandomName(const GbkText& directory, const ByteBuffer& bytes) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::optional<GbkText> free = FreeRandomName(directory);
    if (!free) return std::nullopt;
    const GbkText name = ConcatText(*free, ".torrent");
    switch (WriteNewFile(InDirectory(directory, name), bytes)) {
      case NewFileResult::Written:
        return name;
      case NewFileResult::Exists:
        continue;
      case NewFileResult::Failed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

// Windows treats these names as devices whatever follows the first dot, and whatever the case.
bool IsDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  stem = LowerCaseAscii(GbkText(stem)).str();
  for (const char* device : {"con", "prn", "aux", "nul"})
    if (stem == device) return true;
  return stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// Whether a reply is the torrent to save: one proven by its info hash to be the torrent asked
// for is, whatever its size; anything else must be an unchecked torrent of at least
// kMinimumTorrentSize bytes.
bool IsWantedTorrent(const ByteBuffer& reply, const GbkText& hash) {
  const TorrentMatch match = MatchTorrent(reply, hash);
  return match == TorrentMatch::Matches ||
         (match == TorrentMatch::Unchecked && BytesLength(reply) >= kMinimumTorrentSize);
}

}  // namespace

std::optional<GbkText> SaveTorrentFile(const GbkText& directory,
                                       std::initializer_list<GbkText> bases,
                                       const ByteBuffer& bytes, SameFile same) {
  for (const GbkText& base : bases) {
    if (base.empty()) continue;
    if (std::optional<GbkText> name = SaveAsBase(directory, base, bytes, same)) return name;
  }
  return std::nullopt;
}

GbkText SafeFileName(const GbkText& name) {
  const std::string_view s = name.view();
  // The part after the last separator, stepping by characters: a trail byte can be 5C ("\").
  size_t begin = 0;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t width = GbkCharWidth(s, i);
    if (width == 1 && (c == '/' || c == '\\')) begin = i + 1;
    i += width;
  }
  std::string out;
  for (size_t i = begin; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (GbkCharWidth(s, i) == 1) {
      const bool forbidden =
          c < 0x20 ||
          std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos;
      // A lead byte without its trail cannot be written as a name either.
      out.push_back(forbidden || IsGbkLeadByte(c) ? '_' : static_cast<char>(c));
      ++i;
      continue;
    }
    // A double-byte character that does not survive the trip to UTF-16 (an invalid pair) would
    // reach the file system as "?".
    const std::string_view ch = s.substr(i, 2);
    out.append(Utf16ToGbk(GbkToUtf16(ch)) == ch ? ch : std::string_view("_"));
    i += 2;
  }
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  if (out == "." || out == "..") return {};
  if (IsDeviceName(out)) out.insert(0, "_");
  return GbkText(out);
}

void RunFirstRoute(RouteView& view, const GbkText& directory, const GbkText& host) {
  if (!CheckMagnetText(view.MagnetBoxText())) {
    view.AppendToLog(BadLinkMessage);
    return;
  }
  const GbkText hash = TakeMagnetHash(Route::First, view.MagnetBoxText());
  const GbkText url = ConcatText("http://", host, "/download.aspx");
  const GbkText form = ConcatText(kFormPrefixHash, hash);
  view.ProcessPendingEvents();
  ByteBuffer reply;
  view.WhileWaiting([&] { reply = WebRequest(url, 1, form); });
  if (FindText(BytesToText(reply), kNotStoredText) != -1) {
    view.ShowMessage(kNotStoredMessage);
    return;
  }
  if (!IsWantedTorrent(reply, hash)) {
    view.ShowMessage(kExpiredMessage);
    return;
  }
  const std::optional<GbkText> name = SaveUnderRandomName(directory, reply);
  if (!name) {
    view.AppendToLog(kSaveFailedMessage);
    return;
  }
  view.TorrentSaved(*name, BytesLength(reply));
  view.AppendToLog(SuccessMessage(*name, "\r\n"));
  view.SetMagnetBoxText("");
}

void RunSecondRoute(RouteView& view, const GbkText& directory, const GbkText& host,
                    const GbkText& siteTag) {
  RegexObject re;  // released on every path
  if (!CheckMagnetText(view.MagnetBoxText())) {
    view.AppendToLog(BadLinkMessage);
    return;
  }
  const GbkText hash = TakeMagnetHash(Route::Second, view.MagnetBoxText());
  const GbkText form = ConcatText(kFormPrefixMagnet, hash);
  view.ProcessPendingEvents();
  ByteBuffer pageBytes;
  view.WhileWaiting([&] {
    pageBytes = WebRequest(ConcatText("http://", host, "/magnet-bt/index.php"), 1, form);
  });
  const GbkText page = Utf8TextToGbk(BytesToText(pageBytes));

  re.Search(kPreviewRowPattern, page);
  const int32_t rows = re.MatchCount();
  for (int32_t i = 1; i <= rows; ++i) {
    const GbkText line =
        ConcatText(re.SubMatchText(i, 1), "【文件大小：", re.SubMatchText(i, 2), "】\r\n");
    view.AppendToLog(MultiReplace(
        line,
        {{"<tr><td>", ""}, {"</td><td style=\"text-align:right\">", ""}, {"</td></tr>", "\r\n"}}));
  }
  re.Search(kDownloadLinkPattern, page);
  const GbkText downloadUrl = ConcatText("http://", host, "/magnet-bt", re.SubMatchText(1, 1));
  view.AppendToLog(kPreviewSeparator);

  view.ProcessPendingEvents();
  GbkText headers;
  ByteBuffer reply;
  view.WhileWaiting([&] {
    reply = WebRequest(downloadUrl, 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr,
                       std::nullopt, &headers);
  });
  const GbkText text = BytesToText(reply);
  if (FindText(text, kCannotMakeText) != -1 || FindText(text, "502 Bad Gateway") != -1 ||
      !IsWantedTorrent(reply, hash)) {
    view.AppendToLog(kCannotMakeMessage);
    return;
  }

  re.Search(ConcatText("filename=(.{1,300})\\[", siteTag, "\\]\\.torrent"), Utf8TextToGbk(headers));
  // The service's name; when it has none that can be written, the hash names the torrent.
  const std::optional<GbkText> name = SaveTorrentFile(
      directory, {SafeFileName(re.SubMatchText(1, 1)), SafeFileName(hash), "torrent"}, reply,
      SameFile::kSameBytes);
  if (!name) {
    view.AppendToLog(kSaveFailedMessage);
    return;
  }
  view.TorrentSaved(*name, BytesLength(reply));
  view.AppendToLog(SuccessMessage(*name, "\r\n\r\n"));
  view.SetMagnetBoxText("");
}

}  // namespace pellucor
