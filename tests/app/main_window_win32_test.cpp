// The Windows program's window, driven through its controls' messages (BM_CLICK, WM_SETTEXT)
// the way a click or typing reaches them, against the fake services. Under Wine with a display.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "app/main_window.h"
#include "base/env.h"
#include "base/utility_win32.h"
#include "support/advert_site.h"
#include "support/fake_http_server.h"
#include "support/form_checks.h"
#include "support/log_appends.h"
#include "support/main_window_of_win32.h"
#include "support/printers.h"
#include "support/sandbox.h"
#include "support/torrents.h"
#include "torrent/torrent_check.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;

// A torrent under 1000 bytes, which its info hash proves to be the one asked for.
testing::Torrent SmallTorrent() {
  return testing::MakeTorrent(300);
}

class MainWindowWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char arg0[] = "test";
    static char* argv[] = {arg0, nullptr};
    toolkit_ = NewToolkit(argc, argv);
    const GbkText host("127.0.0.1:" + std::to_string(server_.port()));
    window_ = std::make_unique<MainWindow>(
        *toolkit_, GbkText(sandbox_.path()),
        Deployment{host, host, "pellucor.local", GbkText(site_.Url(""))});
    window_->Create();
    top_ = testing::MainWindowOf(GetCurrentProcessId());
  }
  void TearDown() override {
    // The banner thread ends before the next test (or the program's exit) begins.
    EXPECT_TRUE(RunUntil([this] { return window_->BannerFinished(); }));
    window_.reset();
    toolkit_.reset();
  }
  // Lets the window handle its messages until `done` or for at most `ms` milliseconds.
  static bool RunUntil(const std::function<bool()>& done, DWORD ms = 10000) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > ms) return false;
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      Sleep(5);
    }
    return true;
  }
  HWND Item(ControlId id) { return GetDlgItem(top_, 1000 + id); }
  void Type(ControlId id, const GbkText& text) { SetWindowTextW(Item(id), Wide(text).c_str()); }
  void Click(ControlId id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }

  std::unique_ptr<Toolkit> toolkit_;
  FakeHttpServer server_;
  FakeHttpServer site_;  // the publisher's site: 404 for everything unless a test sets it up
  testing::Sandbox sandbox_{"app"};
  std::unique_ptr<MainWindow> window_;
  HWND top_ = nullptr;
};

TEST_F(MainWindowWin32Test, TheFormAsSpecified) {
  ASSERT_TRUE(top_);
  testing::ExpectFormAsSpecified(*toolkit_);
  const LONG style = GetWindowLongW(top_, GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
  wchar_t title[256];
  GetWindowTextW(top_, title, 256);
  EXPECT_EQ(std::wstring(title), Wide(ConcatText("Pellucor，by Brannick，网址：", site_.Url(""))));
}

TEST_F(MainWindowWin32Test, PasteAndClear) {
  toolkit_->SetText(k编辑框_信息框, "typed by the user");
  const std::wstring clip = Wide("magnet:?xt=urn:btih:中");
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (clip.size() + 1) * sizeof(wchar_t));
  std::memcpy(GlobalLock(mem), clip.c_str(), (clip.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(mem);
  SetClipboardData(CF_UNICODETEXT, mem);
  CloseClipboard();
  Type(k编辑框磁力, "typed");
  Click(k按钮粘贴);
  EXPECT_EQ(toolkit_->Text(k编辑框磁力), GbkText("magnet:?xt=urn:btih:中"));
  Click(k按钮清空);
  EXPECT_EQ(toolkit_->Text(k编辑框磁力), GbkText(""));
  EXPECT_EQ(toolkit_->Text(k编辑框_信息框), GbkText("typed by the user"));
}

TEST_F(MainWindowWin32Test, AdvertPictureClick) {
  // A link that is no web address: the two lines are written, nothing is opened.
  window_->SetAdLink("C:\\Windows\\notepad.exe");
  toolkit_->SetVisible(k图片框1, true);
  SendMessageW(Item(k图片框1), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(Item(k图片框1), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(toolkit_->Text(k编辑框_信息框), GbkText("正在跳转，请稍后……\r\n跳转完毕！\r\n"));
  SendMessageW(Item(k标签_广告), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(Item(k标签_广告), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(toolkit_->Text(k编辑框_信息框), GbkText("正在跳转，请稍后……\r\n跳转完毕！\r\n"));
}

// The publisher's site offers an animated advert from the start, whose link is a program.
class MainWindowWin32AdvertTest : public MainWindowWin32Test {
 protected:
  void SetUp() override {
    site_.SetHandler(
        testing::AdvertSite(site_, testing::AnimatedAdvert(), "C:\\windows\\notepad.exe"));
    MainWindowWin32Test::SetUp();
  }
};

TEST_F(MainWindowWin32AdvertTest, AppearsPlaysAndOpensNoProgram) {
  ASSERT_TRUE(RunUntil([this] { return toolkit_->IsVisible(k图片框1); })) << "no advert";
  testing::ExpectAdvertShown(*toolkit_, {6, 389, 432, 90}, 364 + 118);
  EXPECT_EQ(site_.Requests().size(), 3u);  // the document twice, the picture

  // The box shows the animation: its middle turns from red to blue and back.
  HWND box = Item(k图片框1);
  std::set<COLORREF> seen;
  RunUntil(
      [&] {
        const WindowDc dc(box, GetDC(box));
        seen.insert(GetPixel(dc.get(), 216, 45));
        return seen.count(RGB(255, 0, 0)) && seen.count(RGB(0, 0, 255));
      },
      5000);
  EXPECT_TRUE(seen.count(RGB(255, 0, 0)) && seen.count(RGB(0, 0, 255))) << seen.size();

  SendMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(toolkit_->Text(k编辑框_信息框), GbkText("正在跳转，请稍后……\r\n跳转完毕！\r\n"));
  RunUntil([] { return false; }, 1000);
  EXPECT_EQ(FindWindowW(L"Notepad", nullptr), nullptr) << "the advert link was run";
}

// The log as the box shows it: its text, the selection, and the first line in view.
struct LogState {
  std::wstring text;
  DWORD selStart, selEnd;
  LRESULT firstVisible;
  friend bool operator==(const LogState&, const LogState&) = default;
};
std::ostream& operator<<(std::ostream& o, const LogState& s) {
  return o << Utf16ToGbk(std::u16string(s.text.begin(), s.text.end())) << " selection "
           << s.selStart << "-" << s.selEnd << " first line " << s.firstVisible;
}
LogState StateOf(HWND log) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(log)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(log, text.data(), static_cast<int>(text.size()))));
  DWORD start = 0, end = 0;
  SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  return {text, start, end, SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0)};
}

// Messages appended together reach the log as appending each on its own does (the box's
// steps for one message, done for each), and before the window handles its next event.
TEST_F(MainWindowWin32Test, MessagesAppendedTogetherReadAsAppendedOneByOne) {
  HWND log = Item(k编辑框_信息框);
  const std::wstring earlier = std::wstring(40, L'w') + L"\r\n" + std::wstring(400, L'e');
  auto start = [&] {
    SetWindowTextW(log, earlier.c_str());
    SendMessageW(log, EM_SETSEL, 0, 2);
  };
  testing::ExpectAppendedTogetherAsOneByOne(
      *window_, *toolkit_, start,
      [&](const std::string& m) {
        const int length = GetWindowTextLengthW(log);
        SendMessageW(log, EM_SETSEL, length, length);
        SendMessageW(log, EM_SCROLLCARET, 0, 0);
        SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(GbkText(m)).c_str()));
      },
      [&] { return StateOf(log); });
}

TEST_F(MainWindowWin32Test, ConvertsOnEachRoute) {
  const testing::Torrent t = SmallTorrent();
  const std::string &bytes = t.bytes, &hash = t.hash;
  const std::string page =
      "<table>\r\n<tr><td>x</td><td style=\"text-align:right\">1 B</td></tr>\r\n</table><a "
      "href=\"./down.php?hash=" +
      hash + "\" class=\"btn btn-primary\" target=\"_blank\">" + GbkToUtf8("点击下载") + "</a>";
  // The name is a device name on Windows: both builds save it with a "_" in front.
  server_.SetHandler([page, bytes = bytes](const RecordedRequest& r) {
    if (r.target == "/magnet-bt/index.php") return FakeHttpServer::Reply("200 OK", "", page);
    if (r.target == "/download.aspx") return FakeHttpServer::Reply("200 OK", "", bytes);
    return FakeHttpServer::Reply("200 OK",
                                 "Content-Disposition: attachment; filename=LPT1." +
                                     GbkToUtf8("种子") + "[pellucor.local].torrent\r\n",
                                 bytes);
  });
  toolkit_->SetText(k编辑框_信息框, "earlier\r\n");
  Type(k编辑框磁力, GbkText("magnet:?xt=urn:btih:" + hash + "&dn=x"));
  Click(k按钮开始);
  EXPECT_EQ(
      toolkit_->Text(k编辑框_信息框),
      GbkText(
          "earlier\r\nx【文件大小：1 B】\r\n---------------以上为该种子信息预览---------------\r\n"
          "正在转化种子，请稍后……\r\n种子获取成功，种子文件<_LPT1.种子.torrent>"
          "已经保存到软件运行目录！\r\n\r\n"));
  EXPECT_EQ(toolkit_->Text(k编辑框磁力), GbkText(""));
  EXPECT_EQ(toolkit_->Text(k按钮开始), GbkText("开始"));
  const auto saved = ReadBytesFromFile(ConcatText(sandbox_.path(), "\\_LPT1.种子.torrent"));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->str(), bytes);

  // The first route with a version-2 link (SHA-256 proves its torrent), with a second click
  // waiting while the route runs: it is ignored.
  Click(k单选框_种子库);
  EXPECT_TRUE(toolkit_->IsChecked(k单选框_种子库));
  EXPECT_FALSE(toolkit_->IsChecked(k单选框_网络));
  toolkit_->SetText(k编辑框_信息框, "");
  Type(k编辑框磁力, GbkText("magnet:?xt=urn:btmh:1220" + t.hashV2));
  PostMessageW(Item(k按钮开始), BM_CLICK, 0, 0);
  Click(k按钮开始);
  const std::string log = toolkit_->Text(k编辑框_信息框).str();
  const std::string prefix = GbkText("种子获取成功，种子文件<").str();
  ASSERT_EQ(log.rfind(prefix, 0), 0u) << log;
  EXPECT_EQ(log.substr(prefix.size() + 4), GbkText(".torrent>已经保存到软件运行目录！\r\n").str());
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);  // two for the second route, one for the first
  EXPECT_EQ(requests[2].body, "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A" + t.hashV2);
}

// A download that stalls frees the window within about half a minute, with the route's
// failure message.
TEST_F(MainWindowWin32Test, AStalledServiceFreesTheWindow) {
  server_.Enqueue(FakeHttpServer::Reply("200 OK", "", "<html></html>"));
  server_.EnqueueSilence();
  Type(k编辑框磁力, GbkText(SmallTorrent().hash));
  const DWORD start = GetTickCount();
  Click(k按钮开始);
  const DWORD ms = GetTickCount() - start;
  EXPECT_GE(ms, 29500u);
  EXPECT_LE(ms, 34000u);
  EXPECT_EQ(toolkit_->Text(k编辑框_信息框),
            GbkText("---------------以上为该种子信息预览---------------\r\n正在转化种子，请稍后……"
                    "\r\n该磁力链接无法生成BT种子\r\n"));
  EXPECT_EQ(toolkit_->Text(k按钮开始), GbkText("开始"));
}

}  // namespace
}  // namespace pellucor
