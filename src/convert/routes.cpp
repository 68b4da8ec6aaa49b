#include "convert/routes.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>

#include "base/codepage.h"
#include "base/env.h"
#include "base/random.h"
#include "convert/magnet.h"
#include "convert/torrent_check.h"
#include "http/decode.h"
#include "http/web_request.h"
#include "regex/regex_object.h"

namespace pellucor {
namespace {

constexpr int32_t kMinimumTorrentSize = 1000;
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

// Conversions may run on several threads at once (the command-line converter). A name is
// chosen under this lock and stays taken until its file is written, so two conversions never
// choose the same one, while their writes go on side by side.
struct SavingNames {
  std::mutex mutex;
  std::condition_variable written;  // a path left `inFlight`
  std::set<std::string> inFlight;   // paths chosen and not yet written
};
SavingNames& Saving() {
  static SavingNames saving;
  return saving;
}

// Holds a chosen path as taken until the write is over, whatever its result. Made with
// Saving().mutex held.
class NameHold {
 public:
  explicit NameHold(GbkText path) : path_(std::move(path)) {
    Saving().inFlight.insert(path_.str());
  }
  ~NameHold() {
    {
      std::lock_guard lock(Saving().mutex);
      Saving().inFlight.erase(path_.str());
    }
    Saving().written.notify_all();
  }
  NameHold(const NameHold&) = delete;
  NameHold& operator=(const NameHold&) = delete;

 private:
  GbkText path_;
};

GbkText InDirectory(const GbkText& directory, const GbkText& name) {
  return ConcatText(directory, kPathSeparator, name);
}

GbkText SuccessMessage(const GbkText& fileName, const char* end) {
  return ConcatText("种子获取成功，种子文件<", fileName, ">已经保存到软件运行目录！", end);
}

// A random four-digit name that no file in `directory` has yet and no other conversion is
// writing; nothing when all 1001 are taken. Called with Saving().mutex held.
std::optional<GbkText> FreeRandomName(const GbkText& directory) {
  std::set<int32_t> tried;
  auto free = [&](int32_t n) -> std::optional<GbkText> {
    if (!tried.insert(n).second) return std::nullopt;
    const GbkText name = ConcatText(IntegerToText(n), ".torrent");
    const GbkText path = InDirectory(directory, name);
    if (PathExists(path) || Saving().inFlight.count(path.str())) return std::nullopt;
    return name;
  };
  for (int draw = 0; draw < 4 * 1001; ++draw)
    if (auto name = free(RandomInt(1000, 2000))) return name;
  for (int32_t n = 1000; n <= 2000; ++n)  // the draws kept missing the last free numbers
    if (auto name = free(n)) return name;
  return std::nullopt;
}

// `base` + ".torrent" in `directory`, or " (2)", " (3)" … before ".torrent" when a different
// file has the name. A file holding exactly `bytes` already is the torrent itself: kept. A name
// another conversion is writing is judged once that file is there. Called with `lock` (on
// Saving().mutex) held.
struct Target {
  GbkText name;  // with ".torrent"
  bool alreadyThere = false;
};
std::optional<Target> FreeTargetName(const GbkText& directory, const GbkText& base,
                                     const ByteBuffer& bytes, std::unique_lock<std::mutex>& lock) {
  for (int32_t n = 1; n <= 1000; ++n) {
    const GbkText name = n == 1 ? ConcatText(base, ".torrent")
                                : ConcatText(base, " (", IntegerToText(n), ").torrent");
    const GbkText path = InDirectory(directory, name);
    Saving().written.wait(lock, [&] { return !Saving().inFlight.count(path.str()); });
    if (!PathExists(path)) return Target{name, false};
    const std::optional<ByteBuffer> existing = ReadBytesFromFile(path);
    if (existing && *existing == bytes) return Target{name, true};
  }
  return std::nullopt;
}

bool IsSingleByte(unsigned char c) {
  return c < 0x81 || c == 0xFF;
}

}  // namespace

GbkText SafeFileName(const GbkText& name) {
  const std::string_view s = name.view();
  // The part after the last separator, stepping by characters: a trail byte can be 5C ("\").
  size_t begin = 0;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t width = (IsSingleByte(c) || i + 1 >= s.size()) ? 1 : 2;
    if (width == 1 && (c == '/' || c == '\\')) begin = i + 1;
    i += width;
  }
  std::string out;
  for (size_t i = begin; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsSingleByte(c) || i + 1 >= s.size()) {
      const bool forbidden =
          c < 0x20 ||
          std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos;
      // A lead byte without its trail cannot be written as a name either.
      out.push_back(forbidden || !IsSingleByte(c) ? '_' : static_cast<char>(c));
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
  const ByteBuffer reply = WebRequest(url, 1, form);
  if (FindText(BytesToText(reply), kNotStoredText) != -1) {
    view.ShowMessage(kNotStoredMessage);
    return;
  }
  // Only a torrent (of this hash, when the hash is a real one) is saved as a torrent.
  if (BytesLength(reply) < kMinimumTorrentSize || !IsTorrentFor(reply, hash)) {
    view.ShowMessage(kExpiredMessage);
    return;
  }
  std::optional<GbkText> name;
  std::optional<NameHold> hold;
  {
    std::lock_guard lock(Saving().mutex);
    name = FreeRandomName(directory);
    if (name) hold.emplace(InDirectory(directory, *name));
  }
  if (!name || !WriteBytesToFile(InDirectory(directory, *name), reply)) {
    view.AppendToLog(kSaveFailedMessage);
    return;
  }
  hold.reset();
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
  const GbkText page = Utf8TextToGbk(
      BytesToText(WebRequest(ConcatText("http://", host, "/magnet-bt/index.php"), 1, form)));

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
  const ByteBuffer reply = WebRequest(downloadUrl, 0, {}, nullptr, nullptr, nullptr, nullptr, false,
                                      nullptr, std::nullopt, &headers);
  const GbkText text = BytesToText(reply);
  if (FindText(text, kCannotMakeText) != -1 || BytesLength(reply) < kMinimumTorrentSize ||
      FindText(text, "502 Bad Gateway") != -1 || !IsTorrentFor(reply, hash)) {
    view.AppendToLog(kCannotMakeMessage);
    return;
  }

  re.Search(ConcatText("filename=(.{1,300})\\[", siteTag, "\\]\\.torrent"), Utf8TextToGbk(headers));
  GbkText base = SafeFileName(re.SubMatchText(1, 1));
  if (base.empty()) base = SafeFileName(hash);  // no usable name from the service
  if (base.empty()) base = "torrent";
  std::optional<Target> target;
  std::optional<NameHold> hold;
  {
    std::unique_lock lock(Saving().mutex);
    target = FreeTargetName(directory, base, reply, lock);
    if (target && !target->alreadyThere) hold.emplace(InDirectory(directory, target->name));
  }
  if (!target ||
      (!target->alreadyThere && !WriteBytesToFile(InDirectory(directory, target->name), reply))) {
    view.AppendToLog(kSaveFailedMessage);
    return;
  }
  hold.reset();
  view.TorrentSaved(target->name, BytesLength(reply));
  view.AppendToLog(SuccessMessage(target->name, "\r\n\r\n"));
  view.SetMagnetBoxText("");
}

}  // namespace pellucor
