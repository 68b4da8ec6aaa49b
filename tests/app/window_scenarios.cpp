// The window's scenarios, one table run by both window tests through their toolkit's driver
// (window_scenarios.h), each on a window opened for it.
#include "window_scenarios.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "base/env.h"
#include "support/advert_site.h"
#include "support/printers.h"
#include "support/torrents.h"

namespace pellucor::testing {

void WindowTest::Open(const char* advertLink) {
  if (advertLink) site.SetHandler(AdvertSite(site, AnimatedAdvert(), advertLink));
  const GbkText host("127.0.0.1:" + std::to_string(server.port()));
  window =
      std::make_unique<MainWindow>(*toolkit, GbkText(sandbox.path()),
                                   Deployment{host, host, "pellucor.local", GbkText(site.Url(""))});
  window->Create();
  driver = NewWindowDriver();
}

void WindowTest::TearDown() {
  // The banner thread ends before the next test (or the program's exit) begins.
  if (window) {
    EXPECT_TRUE(RunUntil([this] { return window->BannerFinished(); }));
  }
}

bool WindowTest::RunUntil(const std::function<bool()>& done, int ms) {
  for (const uint32_t start = TickCount(); !done();) {
    if (TickCount() - start > static_cast<uint32_t>(ms)) return false;
    toolkit->ProcessPendingEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {

constexpr ControlId kBox = k编辑框磁力, kLog = k编辑框_信息框;
const char kJumped[] = "正在跳转，请稍后……\r\n跳转完毕！\r\n";

// Runs of log messages whose appending in one edit could read differently from appending them
// one by one.
const struct {
  const char* what;
  std::vector<std::string> messages;
} kLogAppends[] = {
    // "\xD6\xD0" is one character; split over two messages it is two unknown bytes
    {"a lead byte ends one message, its trail begins the next", {"x\xD6", "\xD0y\r\n"}},
    {"a CR ends one message, an LF begins the next", {"a\r", "\nb\r\n"}},
    {"line breaks of every kind", {"\r", "\r\n", "\n", "\r\r\n\n", "c\r"}},
    {"empty messages among others", {"", "d\r\n", "", "\r\n\r\n", ""}},
    {"only empty messages", {"", ""}},
    {"preview lines",
     {"电影/第一集.mkv【文件大小：700.25 MB】\r\n", "x.srt【文件大小：1 B】\r\n",
      "---------------\r\n"}},
};

struct Scenario {
  const char* name;
  const char* advertLink;  // the publisher's site offers an advert with this link; null: none
  void (*run)(WindowTest& t, WindowDriver& d);
};

const Scenario kScenarios[] = {
    // Every control's place, visibility and caption, the route chosen at start, the title.
    {"TheFormAsSpecified", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       const auto& controls = FormControls();
       ASSERT_EQ(controls.size(), static_cast<size_t>(kControlCount));
       for (ControlId id = 0; id < kControlCount; ++id) {
         const ControlSpec& c = controls[id];
         EXPECT_EQ(t.toolkit->Geometry(id), (Rect{c.left, c.top, c.width, c.height})) << c.name;
         EXPECT_EQ(t.toolkit->IsVisible(id), !c.hidden) << c.name;
         if (c.kind == ControlKind::Button || c.kind == ControlKind::RadioBox ||
             c.kind == ControlKind::Label) {
           EXPECT_EQ(t.toolkit->Text(id), GbkText(c.caption)) << c.name;
         }
       }
       EXPECT_TRUE(t.toolkit->IsChecked(k单选框_网络));
       EXPECT_FALSE(t.toolkit->IsChecked(k单选框_种子库));
       EXPECT_EQ(t.toolkit->ClientHeight(), 364);
       EXPECT_EQ(d.Title(), ConcatText("Pellucor，by Brannick，网址：", t.site.Url("")));
     }},

    // Paste replaces the box's text with the clipboard's (none: an empty box); clear empties
    // the box; neither touches the log.
    {"PasteAndClear", nullptr,
     [](WindowTest&, WindowDriver& d) {
       d.SetText(kLog, "typed by the user");
       d.Type(kBox, "typed");
       d.SetClipboard(GbkText("magnet:?xt=urn:btih:中"));
       d.Click(k按钮粘贴);
       EXPECT_EQ(d.Text(kBox), GbkText("magnet:?xt=urn:btih:中"));
       d.SetClipboard(std::nullopt);
       d.Click(k按钮粘贴);
       EXPECT_EQ(d.Text(kBox), GbkText(""));
       d.Type(kBox, "abc");
       d.Click(k按钮清空);
       EXPECT_EQ(d.Text(kBox), GbkText(""));
       EXPECT_EQ(d.Text(kLog), GbkText("typed by the user"));
     }},

    // A link that is no web address: a click on the picture writes the two lines and opens
    // nothing; the caption above it does nothing.
    {"AdvertPictureClick", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       t.window->SetAdLink("C:\\Windows\\notepad.exe");
       t.toolkit->SetVisible(k图片框1, true);
       d.Click(k图片框1);
       EXPECT_EQ(d.Text(kLog), GbkText(kJumped));
       d.Click(k标签_广告);
       EXPECT_EQ(d.Text(kLog), GbkText(kJumped));
     }},

    // The publisher's advert comes into view (the window grows by the picture's height and the
    // caption's) and plays: the box's middle turns from red to blue and back. Its link is a
    // program: a click writes the two lines.
    {"AnAdvertAppearsAndPlays", "C:\\windows\\notepad.exe",
     [](WindowTest& t, WindowDriver& d) {
       ASSERT_TRUE(t.RunUntil([&] { return t.toolkit->IsVisible(k图片框1); })) << "no advert";
       EXPECT_TRUE(t.toolkit->IsVisible(k标签_广告));
       EXPECT_EQ(t.toolkit->Geometry(k图片框1), (Rect{6, 389, 432, 90}));
       EXPECT_EQ(t.toolkit->ClientHeight(), 364 + 118);
       EXPECT_EQ(t.site.Requests().size(), 3u);  // the document twice, the picture
       std::set<uint32_t> seen;
       t.RunUntil(
           [&] {
             seen.insert(d.Pixel(k图片框1, 216, 45));
             return seen.count(0xFF0000) && seen.count(0x0000FF);
           },
           5000);
       EXPECT_TRUE(seen.count(0xFF0000) && seen.count(0x0000FF)) << seen.size();
       d.Click(k图片框1);
       EXPECT_EQ(d.Text(kLog), GbkText(kJumped));
     }},

    // Messages appended together reach the log as appending each on its own does (the box's
    // steps for one message, done for each): the first moment anything can look (a task on
    // the UI thread) and after. Each run goes after the user's own text, with a selection at
    // its start.
    {"MessagesAppendedTogetherReadAsAppendedOneByOne", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       const GbkText earlier(std::string(40, 'w') + "\r\n" + std::string(400, 'e'));  // wraps
       for (const auto& c : kLogAppends) {
         d.SetText(kLog, earlier);
         d.Select(kLog, 0, 2);
         for (const std::string& m : c.messages) d.AppendOnItsOwn(kLog, GbkText(m));
         const std::string oneByOne = d.View(kLog);

         d.SetText(kLog, earlier);
         d.Select(kLog, 0, 2);
         for (const std::string& m : c.messages) t.window->AppendToLog(GbkText(m));
         std::optional<std::string> seen;
         t.toolkit->RunOnUiThread([&] { seen = d.View(kLog); });
         t.window->ProcessPendingEvents();
         ASSERT_TRUE(seen) << c.what;
         EXPECT_EQ(*seen, oneByOne) << c.what;
         EXPECT_EQ(d.View(kLog), oneByOne) << c.what;
       }
     }},

    // The second route (checked at start) with a link as copied from a page: the preview, and
    // the torrent saved under the service's name, which is a device name on Windows: both
    // builds save it with a "_" in front. Messages go to the end of the log, wherever its
    // caret is.
    {"TheSecondRouteSavesUnderTheServicesName", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       const Torrent torrent = MakeTorrent(300);  // under 1000 bytes: its hash proves it
       const std::string page =
           "<table>\r\n<tr><td>x</td><td style=\"text-align:right\">1 B</td></tr>\r\n</table><a "
           "href=\"./down.php?hash=" +
           torrent.hash + "\" class=\"btn btn-primary\" target=\"_blank\">" +
           GbkToUtf8("点击下载") + "</a>";
       t.server.SetHandler([page, bytes = torrent.bytes](const RecordedRequest& r) {
         if (r.target == "/magnet-bt/index.php") return FakeHttpServer::Reply("200 OK", "", page);
         return FakeHttpServer::Reply("200 OK",
                                      "Content-Disposition: attachment; filename=LPT1." +
                                          GbkToUtf8("种子") + "[pellucor.local].torrent\r\n",
                                      bytes);
       });
       d.SetText(kLog, "earlier\r\n");
       d.Select(kLog, 0, 0);
       d.Type(kBox, GbkText("magnet:?xt=urn:btih:" + torrent.hash + "&dn=x"));
       d.Click(k按钮开始);
       EXPECT_EQ(d.Text(kLog),
                 GbkText("earlier\r\nx【文件大小：1 B】\r\n---------------以上为该种子信息预览-----"
                         "----------\r\n正在转化种子，请稍后……\r\n种子获取成功，种子文件<_LPT1."
                         "种子.torrent>已经保存到软件运行目录！\r\n\r\n"));
       EXPECT_EQ(t.toolkit->Text(kLog), d.Text(kLog));  // the program reads what the box shows
       EXPECT_EQ(d.Text(kBox), GbkText(""));
       EXPECT_EQ(d.Text(k按钮开始), GbkText("开始"));
       const auto saved = ReadBytesFromFile(GbkText(t.sandbox / "_LPT1.种子.torrent"));
       ASSERT_TRUE(saved);
       EXPECT_EQ(saved->str(), torrent.bytes);
       EXPECT_EQ(t.server.Requests().size(), 2u);
     }},

    // The first route with a version-2 link, whose torrent SHA-256 proves; a second click,
    // waiting among the events, runs while the route lets the window handle them: it is
    // ignored.
    {"TheFirstRouteIgnoresAClickDuringAConversion", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       const Torrent torrent = MakeTorrent(300);  // under 1000 bytes: its hash proves it
       t.server.SetHandler([bytes = torrent.bytes](const RecordedRequest&) {
         return FakeHttpServer::Reply("200 OK", "", bytes);
       });
       d.Click(k单选框_种子库);
       EXPECT_TRUE(t.toolkit->IsChecked(k单选框_种子库));
       EXPECT_FALSE(t.toolkit->IsChecked(k单选框_网络));
       d.Type(kBox, GbkText("magnet:?xt=urn:btmh:1220" + torrent.hashV2));
       d.QueueClick(k按钮开始);
       d.Click(k按钮开始);
       // "<NNNN.torrent>" with NNNN from 1000 to 2000
       const std::string log = d.Text(kLog).str();
       const std::string prefix = GbkText("种子获取成功，种子文件<").str();
       ASSERT_EQ(log.rfind(prefix, 0), 0u) << ::testing::PrintToString(GbkText(log));
       const std::string number = log.substr(prefix.size(), 4);
       EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
       EXPECT_GE(number, "1000");
       EXPECT_LE(number, "2000");
       EXPECT_EQ(log.substr(prefix.size() + 4),
                 GbkText(".torrent>已经保存到软件运行目录！\r\n").str());
       ASSERT_EQ(t.server.Requests().size(), 1u);
       EXPECT_EQ(t.server.Requests()[0].body,
                 "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A" + torrent.hashV2);
       EXPECT_EQ(d.Text(k按钮开始), GbkText("开始"));
     }},

    // A download that stalls frees the window within about half a minute, with the route's
    // failure message. Meanwhile the window stays painted: it shows the lines the route wrote
    // before the request, leaves a click queued until the request ends, and is never taken for
    // hung (the system asks after 5 s).
    {"AStalledServiceFreesTheWindow", nullptr,
     [](WindowTest& t, WindowDriver& d) {
       t.server.Enqueue(FakeHttpServer::Reply("200 OK", "", "<html></html>"));
       t.server.EnqueueSilence();
       const GbkText link(MakeTorrent(300).hash);
       d.Type(kBox, link);
       std::optional<GbkText> logDuring, boxDuring;
       std::optional<bool> hung;
       bool clickQueued = false;
       std::thread observer([&] {
         for (int i = 0; i < 1000 && t.server.Requests().size() < 2; ++i)
           std::this_thread::sleep_for(std::chrono::milliseconds(10));
         const uint32_t stalled = TickCount();
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
         clickQueued = d.QueueUserClick(k按钮清空);
         logDuring = d.TextFromAnotherThread(kLog, 3000);
         boxDuring = d.TextFromAnotherThread(kBox, 3000);
         const int64_t waited = TickCount() - stalled;
         std::this_thread::sleep_for(
             std::chrono::milliseconds(std::max<int64_t>(0, 6500 - waited)));
         hung = d.Hung();
       });
       const uint32_t start = TickCount();
       d.Click(k按钮开始);
       const uint32_t ms = TickCount() - start;
       observer.join();
       EXPECT_EQ(logDuring, GbkText("---------------以上为该种子信息预览---------------\r\n"
                                    "正在转化种子，请稍后……\r\n"));
       if (clickQueued) {
         EXPECT_EQ(boxDuring, link) << "the click was handled during the request";
         EXPECT_TRUE(t.RunUntil([&] { return d.Text(kBox).str().empty(); }, 3000))
             << "the click was lost";
       }
       EXPECT_NE(hung, std::optional<bool>(true));
       EXPECT_GE(ms, 29500u);
       EXPECT_LE(ms, 34000u);
       EXPECT_EQ(d.Text(kLog), GbkText("---------------以上为该种子信息预览---------------\r\n"
                                       "正在转化种子，请稍后……\r\n该磁力链接无法生成BT种子\r\n"));
       EXPECT_EQ(d.Text(k按钮开始), GbkText("开始"));
     }},
};

// Each scenario is a test of its own, "WindowScenario.<name>".
class ScenarioTest : public WindowTest {
 public:
  explicit ScenarioTest(const Scenario& scenario) : scenario_(scenario) {}
  void TestBody() override {
    Open(scenario_.advertLink);
    scenario_.run(*this, *driver);
  }

 private:
  const Scenario& scenario_;
};

const bool kRegistered = [] {
  for (const Scenario& s : kScenarios) {
    ::testing::RegisterTest("WindowScenario", s.name, nullptr, nullptr, __FILE__, __LINE__,
                            [&s] { return new ScenarioTest(s); });
  }
  return true;
}();

}  // namespace
}  // namespace pellucor::testing
