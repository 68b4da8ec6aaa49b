// The preview of an N-file torrent in the real window: the start button's command runs the
// second route against a service on 127.0.0.1 whose page lists N files, one row per line, and
// whose download is a torrent. Timed from the command's start:
//   preview on screen: until the download request arrives; the route asks for the download
//     only after it has written the preview and let the window handle its events (and paint);
//   done: until the command returns, the torrent saved.
// Before anything is printed the log is checked to read, byte for byte, the N preview lines,
// the separator and the success message, and the saved file to hold the torrent's bytes.
// Beside it, in the same run and the same box:
//   whole text at once: the final log text set in one call (what the box itself costs);
//   one by one: the same lines appended one call each, as the log took them before messages
//     were gathered into one edit (on Windows only the first 300 unless --one-by-one=N:
//     under Wine each line costs 10 to 30 ms).
//
// Linux (Qt):   build/linux/bench/preview_log_bench [N...]           (default 10000 100000)
// Windows:      xvfb-run -a scripts/wine-run /usr/lib/wine/wine64 $PWD/build/win64/wineprefix
//                 build/win64/bench/preview_log_bench.exe [N...]      (default 10000)
// On Linux without a display Qt draws offscreen; under xvfb-run it draws on the X server.
#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "base/codepage.h"
#include "base/env.h"
#include "support/fake_http_server.h"
#include "support/torrents.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;

// Milliseconds on a monotonic clock of sub-millisecond resolution. (<chrono> cannot be
// compiled with GBK narrow literals.)
double NowMs() {
#if defined(_WIN32)
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
#else
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
#endif
}

constexpr char kSeparator[] =
    "---------------以上为该种子信息预览---------------\r\n正在转化种子，请稍后……\r\n";

struct Preview {
  std::string page;            // UTF-8, as the service sends it
  std::vector<GbkText> lines;  // the preview lines the log must show
  testing::Torrent torrent;
};

Preview MakePreview(int files) {
  Preview p;
  p.torrent = testing::MakeTorrent(4000, "preview-bench");
  std::string gbk = "<html><body><table>\r\n";
  for (int i = 0; i < files; ++i) {
    const std::string name = "电影合集/第" + std::to_string(i) + "集 高清版.mkv";
    const std::string size = std::to_string(100 + i % 900) + ".25 MB";
    gbk += "<tr><td>" + name + "</td><td style=\"text-align:right\">" + size + "</td></tr>\r\n";
    p.lines.emplace_back(name + "【文件大小：" + size + "】\r\n");
  }
  gbk += "</table><a href=\"./down.php?hash=" + p.torrent.hash +
         "\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a></body></html>";
  p.page = GbkToUtf8(gbk);
  return p;
}

struct Timing {
  double previewShown = -1, done = -1, wholeText = -1, oneByOne = -1;
  int oneByOneLines = 0;
};

// Runs the preview of `files` files; false (with the reason on stderr) when the log or the
// saved torrent is not what it must be.
bool Run(Toolkit& toolkit, int files, int oneByOneLimit, Timing& t) {
  const Preview preview = MakePreview(files);
  FakeHttpServer service, site;  // the publisher's site answers 404: no advert
  std::mutex mutex;
  double downloadAsked = -1;
  service.SetHandler([&](const testing::RecordedRequest& r) {
    if (r.target == "/magnet-bt/index.php")
      return FakeHttpServer::Reply("200 OK", "", preview.page);
    {
      std::lock_guard lock(mutex);
      downloadAsked = NowMs();
    }
    return FakeHttpServer::Reply(
        "200 OK",
        "Content-Disposition: attachment; filename=preview-bench[pellucor.local].torrent\r\n",
        preview.torrent.bytes);
  });
  const GbkText host("127.0.0.1:" + std::to_string(service.port()));
  const GbkText directory = RunDirectory();
  MainWindow window(toolkit, {directory, host, host, "pellucor.local", GbkText(site.Url(""))});
  window.Create();
  toolkit.ProcessPendingEvents();
  toolkit.SetText(k编辑框磁力, GbkText("magnet:?xt=urn:btih:" + preview.torrent.hash));

  const double start = NowMs();
  window.StartConversion();
  const double end = NowMs();
  toolkit.ProcessPendingEvents();

  std::string want;
  for (const GbkText& line : preview.lines) want += line.str();
  want += kSeparator;
  want += "种子获取成功，种子文件<preview-bench.torrent>已经保存到软件运行目录！\r\n\r\n";
  const GbkText log = toolkit.Text(k编辑框_信息框);
  if (log.str() != want) {
    const size_t at = static_cast<size_t>(
        std::mismatch(want.begin(), want.end(), log.str().begin(), log.str().end()).first -
        want.begin());
    std::fprintf(stderr, "%d files: the log differs from byte %zu on: \"%s\" for \"%s\"\n", files,
                 at, GbkToUtf8(log.view().substr(at, 60)).c_str(),
                 GbkToUtf8(std::string_view(want).substr(at, 60)).c_str());
    return false;
  }
  const auto saved =
      ReadBytesFromFile(ConcatText(directory, kPathSeparator, "preview-bench.torrent"));
  if (!saved || saved->str() != preview.torrent.bytes || service.Requests().size() != 2) {
    std::fprintf(stderr, "%d files: the torrent was not saved as served\n", files);
    return false;
  }
  {
    std::lock_guard lock(mutex);
    t.previewShown = downloadAsked - start;
  }
  t.done = end - start;

  // The box alone, in the same window: the whole text in one call, then the lines one by one.
  toolkit.SetText(k编辑框_信息框, "");
  toolkit.ProcessPendingEvents();
  double a = NowMs();
  toolkit.SetText(k编辑框_信息框, GbkText(want));
  toolkit.ProcessPendingEvents();
  t.wholeText = NowMs() - a;

  t.oneByOneLines = std::min(files, oneByOneLimit);
  toolkit.SetText(k编辑框_信息框, "");
  toolkit.ProcessPendingEvents();
  a = NowMs();
  for (int i = 0; i < t.oneByOneLines; ++i) toolkit.AppendText(k编辑框_信息框, {preview.lines[i]});
  toolkit.ProcessPendingEvents();
  t.oneByOne = NowMs() - a;
  std::string firstLines;
  for (int i = 0; i < t.oneByOneLines; ++i) firstLines += preview.lines[i].str();
  if (toolkit.Text(k编辑框_信息框).str() != firstLines) {
    std::fprintf(stderr, "%d files: the lines appended one by one do not read as they must\n",
                 files);
    return false;
  }
  toolkit.SetText(k编辑框_信息框, "");
  while (!window.BannerFinished()) toolkit.ProcessPendingEvents();
  return true;
}

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  using namespace pellucor;
#if defined(_WIN32)
  std::vector<int> counts;
  int oneByOneLimit = 300;
#else
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<int> counts;
  int oneByOneLimit = 1 << 30;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--one-by-one=", 0) == 0)
      oneByOneLimit = std::atoi(a.c_str() + 13);
    else if (std::atoi(a.c_str()) > 0)
      counts.push_back(std::atoi(a.c_str()));
  }
  if (counts.empty()) {
#if defined(_WIN32)
    counts = {10000};
#else
    counts = {10000, 100000};
#endif
  }
  int one = 1;
  std::unique_ptr<Toolkit> toolkit = NewToolkit(one, argv);
  int failed = 0;
  std::printf("%8s %18s %10s %19s %27s\n", "files", "preview on screen", "done",
              "whole text at once", "one by one (per line)");
  for (int files : counts) {
    Timing t;
    if (!Run(*toolkit, files, oneByOneLimit, t)) {
      failed = 1;
      continue;
    }
    std::printf("%8d %15.0f ms %7.0f ms %16.0f ms %10.0f ms / %6d (%.2f ms)\n", files,
                t.previewShown, t.done, t.wholeText, t.oneByOne, t.oneByOneLines,
                t.oneByOneLines ? t.oneByOne / t.oneByOneLines : 0.0);
    std::fflush(stdout);
  }
  toolkit.reset();
  EndProcess(failed);
}
