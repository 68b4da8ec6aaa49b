// End to end: the real Pellucor.exe, started as its own process from a fresh directory, with
// the fake services on the program's built-in address (127.0.0.1:8600). The test types a link
// into the magnet box, clicks "开始" on each route, and reads the log and the saved files, all
// through the window's controls.
#include <gtest/gtest.h>

#include <string>

#include "base/codepage.h"
#include "base/env.h"
#include "base/utility_win32.h"
#include "support/advert_site.h"
#include "support/fake_http_server.h"
#include "support/printers.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/torrents.h"
#include "torrent/torrent_check.h"
#include "window_driver_win32.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;

constexpr ControlId kBox = k编辑框磁力, kLog = k编辑框_信息框;

TEST(ProgramEndToEnd, ConvertsOnBothRoutes) {
  FakeHttpServer server(8600);
  if (server.port() == 0) GTEST_SKIP() << "127.0.0.1:8600 is taken";
  // A torrent under 1000 bytes, which its info hash proves to be the one asked for.
  const testing::Torrent torrent = testing::MakeTorrent(300);
  const std::string &bytes = torrent.bytes, &hash = torrent.hash;
  const std::string page =
      "<table>\r\n<tr><td>x.bin</td><td style=\"text-align:right\">1 KB</td></tr>\r\n</table><a "
      "href=\"./down.php?hash=" +
      hash + "\" class=\"btn btn-primary\" target=\"_blank\">" + GbkToUtf8("点击下载") + "</a>";
  // The publisher's site on the same address: an animated advert whose link is a program.
  const FakeHttpServer::Handler site =
      testing::AdvertSite(server, testing::AnimatedAdvert(), "C:\\windows\\notepad.exe");
  server.SetHandler([page, bytes = bytes, site](const RecordedRequest& r) {
    if (r.target == "/ggurl.html" || r.target == "/ad.gif") return site(r);
    if (r.target == "/magnet-bt/index.php") return FakeHttpServer::Reply("200 OK", "", page);
    if (r.target == "/download.aspx") return FakeHttpServer::Reply("200 OK", "", bytes);
    if (r.target.rfind("/magnet-bt/down.php", 0) == 0)
      return FakeHttpServer::Reply("200 OK",
                                   "Content-Disposition: attachment; filename=" +
                                       GbkToUtf8("端到端") + "[pellucor.local].torrent\r\n",
                                   bytes);
    return FakeHttpServer::Reply("404 Not Found", "", "");
  });

  // A fresh run directory with a copy of the program (removed once the program has ended).
  const testing::Sandbox sandbox("e2e");
  const std::wstring exe = Wide(sandbox.path()) + L"\\Pellucor.exe";
  ASSERT_TRUE(CopyFileW(Wide(PELLUCOR_PROGRAM).c_str(), exe.c_str(), FALSE));
  // Ended however the test ends: a program left running would keep the test's output pipes
  // open (and its directory in use).
  testing::ChildProcess program({Utf8FromWide(exe)});
  testing::Win32Driver window(program.Pid());
  // The window is shown once its controls exist and their events are bound.
  HWND top = nullptr;
  for (int i = 0; i < 200 && !(top && IsWindowVisible(top)); ++i) {
    Sleep(100);
    top = window.Top();
  }
  ASSERT_TRUE(top) << "the window did not appear";

  // The advert comes into view: the window grows by the picture's height and the caption's.
  RECT client{};
  for (int i = 0; i < 100 && client.bottom != 364 + 118; ++i) {
    Sleep(100);
    GetClientRect(top, &client);
  }
  EXPECT_EQ(client.bottom, 364 + 118);
  HWND box = window.Item(k图片框1);
  RECT r{};
  GetWindowRect(box, &r);
  MapWindowPoints(HWND_DESKTOP, top, reinterpret_cast<POINT*>(&r), 2);
  EXPECT_TRUE(IsWindowVisible(box));
  EXPECT_TRUE(IsWindowVisible(window.Item(k标签_广告)));
  EXPECT_EQ((Rect{r.left, r.top, r.right - r.left, r.bottom - r.top}), (Rect{6, 389, 432, 90}));

  // The second route (checked at start), with a magnet link as copied from a page.
  window.Type(kBox, GbkText("magnet:?xt=urn:btih:" + hash + "&dn=x"));
  window.Click(k按钮开始);
  EXPECT_EQ(
      window.Text(kLog),
      GbkText("x.bin【文件大小：1 KB】\r\n---------------以上为该种子信息预览---------------\r\n"
              "正在转化种子，请稍后……\r\n种子获取成功，种子文件<端到端.torrent>"
              "已经保存到软件运行目录！\r\n\r\n"));
  EXPECT_EQ(window.Text(kBox), GbkText(""));
  const auto second = ReadBytesFromFile(GbkText(sandbox / "端到端.torrent"));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->str(), bytes);

  // The first route, with a bare hash.
  window.Click(k单选框_种子库);
  window.SetText(kLog, "");
  window.Type(kBox, GbkText(hash));
  window.Click(k按钮开始);
  const GbkText log = window.Text(kLog);
  const std::string prefix = GbkText("种子获取成功，种子文件<").str();
  ASSERT_EQ(log.str().rfind(prefix, 0), 0u) << ::testing::PrintToString(log);
  const std::string name = log.str().substr(prefix.size(), 12);
  const auto first = ReadBytesFromFile(GbkText(sandbox / name));
  ASSERT_TRUE(first) << name;
  EXPECT_EQ(first->str(), bytes);

  // A click on the advert: the two lines, and the link (a program, not a web address) is not run.
  window.SetText(kLog, "");
  window.Click(k图片框1);
  EXPECT_EQ(window.Text(kLog), GbkText("正在跳转，请稍后……\r\n跳转完毕！\r\n"));
  Sleep(1000);
  EXPECT_EQ(FindWindowW(L"Notepad", nullptr), nullptr) << "the advert link was run";

  // Closed as a user closes it.
  EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
}  // namespace pellucor
