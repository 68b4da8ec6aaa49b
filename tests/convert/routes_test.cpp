// Both conversion routes against a recording view and the fake HTTP server.
#include "convert/routes.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "base/env.h"
#include "base/hex.h"
#include "base/random.h"
#include "convert/magnet.h"
#include "support/fake_http_server.h"
#include "support/printers.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "support/torrents.h"
#include "torrent/torrent_check.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;
using testing::RecordingView;

using testing::MakeTorrent;
using testing::Torrent;

GbkText In(const std::string& dir, const std::string& gbkName) {
  return GbkText(dir + kPathSeparator + gbkName);
}

std::string Content(const std::string& dir, const std::string& gbkName) {
  const auto bytes = ReadBytesFromFile(In(dir, gbkName));
  return bytes ? bytes->str() : "<missing>";
}

const char kSuccessPrefix[] = "种子获取成功，种子文件<";
const char kSuccessSuffix[] = ">已经保存到软件运行目录！";
const char kSeparator[] =
    "---------------以上为该种子信息预览---------------\r\n正在转化种子，请稍后……\r\n";

// ---------------------------------------------------------------------------------------
// First route

class FirstRouteTest : public ::testing::Test {
 protected:
  void SetUp() override { SeedRandom(7); }
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  void Run() { RunFirstRoute(view, dir, host()); }
  FakeHttpServer server;
  RecordingView view;
  const testing::Sandbox sandbox{"routes"};
  const std::string& dir = sandbox.path();
};

// A torrent of 1000 bytes, and one under 1000 bytes whose info hash proves it the torrent asked
// for (by a version-1 link, or a version-2 link and SHA-256).
TEST_F(FirstRouteTest, SavesTheTorrentUnderAFourDigitName) {
  const Torrent big = MakeTorrent(1000), small = MakeTorrent(300);
  ASSERT_EQ(big.bytes.size(), 1000u);
  struct Case {
    std::string box, sentHash;
    const Torrent& torrent;
  };
  const Case cases[] = {
      {std::string(MagnetPrefix) + LowerCaseAscii(GbkText(big.hash)).str(), big.hash, big},
      {small.hash, small.hash, small},
      {"magnet:?xt=urn:btmh:1220" + LowerCaseAscii(GbkText(small.hashV2)).str() + "&dn=x",
       small.hashV2, small},
  };
  for (const Case& c : cases) {
    FakeHttpServer s;
    RecordingView v;
    s.Enqueue(FakeHttpServer::Reply("200 OK", "", c.torrent.bytes));
    v.box = GbkText(c.box);
    RunFirstRoute(v, dir, "127.0.0.1:" + std::to_string(s.port()));
    const auto requests = s.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.requestLine, "POST /download.aspx HTTP/1.1");
    EXPECT_EQ(r.body, "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A" + c.sentHash);
    EXPECT_EQ(v.pendingEventRounds, 1);
    EXPECT_TRUE(v.messages.empty()) << c.box;
    ASSERT_EQ(v.log.size(),
              std::string(kSuccessPrefix).size() + 12 + std::string(kSuccessSuffix).size() + 2)
        << c.box;
    const std::string name = v.log.substr(std::string(kSuccessPrefix).size(), 12);
    EXPECT_EQ(v.log, kSuccessPrefix + name + kSuccessSuffix + "\r\n");
    const int number = std::stoi(name.substr(0, 4));
    EXPECT_GE(number, 1000);
    EXPECT_LE(number, 2000);
    EXPECT_EQ(name.substr(4), ".torrent");
    EXPECT_EQ(Content(dir, name), c.torrent.bytes);
    EXPECT_EQ(v.box, GbkText(""));
  }
}

TEST_F(FirstRouteTest, Failures) {
  const Torrent good = MakeTorrent(1500);
  const Torrent other = MakeTorrent(1500, "other.bin");
  const Torrent small = MakeTorrent(300);
  const Torrent smallOther = MakeTorrent(300, "other.bin");
  const std::string v2Link = "magnet:?xt=urn:btmh:1220" + good.hashV2;
  struct Case {
    std::string box;
    std::string reply;  // raw reply; empty: no server answer at all
    std::string message, log;
  };
  const std::string html = "<html>" + std::string(2000, ' ') + "</html>";
  const Case cases[] = {
      {"not a link", "", "", BadLinkMessage},
      {good.hash,
       FakeHttpServer::Reply("200 OK", "", "<p>您输入的HASH暂未存储</p>" + std::string(3000, ' ')),
       "您输入的HASH暂未收录", ""},
      {good.hash, FakeHttpServer::Reply("200 OK", "", good.bytes.substr(0, 999)), "磁力链接失效！",
       ""},
      {good.hash, FakeHttpServer::Reply("200 OK", "", ""), "磁力链接失效！", ""},
      // an HTML page of any length is no torrent; nor is the torrent of another hash
      {good.hash, FakeHttpServer::Reply("200 OK", "", html), "磁力链接失效！", ""},
      {good.hash, FakeHttpServer::Reply("200 OK", "", other.bytes), "磁力链接失效！", ""},
      {v2Link, FakeHttpServer::Reply("200 OK", "", other.bytes), "磁力链接失效！", ""},
      // a small torrent is kept only when its hash proves it the one asked for
      {small.hash, FakeHttpServer::Reply("200 OK", "", smallOther.bytes), "磁力链接失效！", ""},
      {std::string(40, 'z'), FakeHttpServer::Reply("200 OK", "", small.bytes), "磁力链接失效！",
       ""},
      // the not-stored test ends at a zero byte; what follows is judged as a reply
      {good.hash,
       FakeHttpServer::Reply("200 OK", "", std::string("x\0", 2) + "您输入的HASH暂未存储" + html),
       "磁力链接失效！", ""},
  };
  for (const Case& c : cases) {
    FakeHttpServer s;
    RecordingView v;
    v.box = GbkText(c.box);
    if (!c.reply.empty()) s.Enqueue(c.reply);
    RunFirstRoute(v, dir, "127.0.0.1:" + std::to_string(s.port()));
    EXPECT_EQ(v.log, c.log) << c.reply.substr(0, 60);
    EXPECT_EQ(v.messages,
              c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message})
        << c.reply.substr(0, 60);
    EXPECT_EQ(v.box, GbkText(c.box));
  }
}

TEST_F(FirstRouteTest, UnreachableService) {
  int port;
  {
    FakeHttpServer gone;
    port = gone.port();
  }
  view.box = GbkText(MakeTorrent(1200).hash);
  RunFirstRoute(view, dir, "127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(view.messages, std::vector<std::string>{"磁力链接失效！"});
}

TEST_F(FirstRouteTest, NeverOverwritesAnotherFile) {
  const Torrent t = MakeTorrent(1100);
  for (int n = 1000; n <= 2000; ++n) {
    if (n == 1777) continue;
    ASSERT_TRUE(
        WriteBytesToFile(In(dir, std::to_string(n) + ".torrent"), ByteBuffer(std::string("old"))));
  }
  server.SetHandler(
      [&](const RecordedRequest&) { return FakeHttpServer::Reply("200 OK", "", t.bytes); });
  view.box = GbkText(t.hash);
  Run();
  EXPECT_EQ(view.log, std::string(kSuccessPrefix) + "1777.torrent" + kSuccessSuffix + "\r\n");
  EXPECT_EQ(Content(dir, "1777.torrent"), t.bytes);
  EXPECT_EQ(Content(dir, "1000.torrent"), "old");
  // every name taken: nothing is overwritten, and the user is told
  view.log.clear();
  view.box = GbkText(t.hash);
  Run();
  EXPECT_EQ(view.log, "种子文件保存失败，请检查软件运行目录是否可写！\r\n");
  EXPECT_EQ(view.box, GbkText(t.hash));
}

TEST_F(FirstRouteTest, WriteFailureIsReported) {
  const Torrent t = MakeTorrent(1100);
  server.Enqueue(FakeHttpServer::Reply("200 OK", "", t.bytes));
  view.box = GbkText(t.hash);
  RunFirstRoute(view, dir + kPathSeparator + "missing", host());
  EXPECT_EQ(view.log, "种子文件保存失败，请检查软件运行目录是否可写！\r\n");
  EXPECT_EQ(view.box, GbkText(t.hash));
}

// ---------------------------------------------------------------------------------------
// Second route

std::string Row(const std::string& name, const std::string& size) {
  return "<tr><td>" + name + "</td><td style=\"text-align:right\">" + size + "</td></tr>";
}

// The service's pages as UTF-8 (the route converts them).
std::string Page(const std::string& rowsUtf8, const std::string& hash) {
  return "<html><meta charset=UTF-8><table>" + rowsUtf8 +
         "</table><a href=\"./down.php?hash=" + hash +
         "\" class=\"btn btn-primary\" target=\"_blank\">" +
         reinterpret_cast<const char*>(u8"点击下载") + "</a></html>";
}

std::string Utf8(const char* gbk) {
  return GbkToUtf8(gbk);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class SecondRouteTest : public ::testing::Test {
 protected:
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  // Serves the page for the form post and `download` for the download request.
  void Serve(const std::string& page, const std::string& download) {
    server.SetHandler([=](const RecordedRequest& r) {
      if (r.target == "/magnet-bt/index.php") return FakeHttpServer::Reply("200 OK", "", page);
      return download;
    });
  }
  static std::string Download(const std::string& fileNameUtf8, const std::string& bytes) {
    return FakeHttpServer::Reply(
        "200 OK", "Content-Disposition: attachment; filename=" + fileNameUtf8 + "\r\n", bytes);
  }
  FakeHttpServer server;
  RecordingView view;
  const testing::Sandbox sandbox{"routes"};
  const std::string& dir = sandbox.path();
};

TEST_F(SecondRouteTest, PreviewsAndSavesUnderTheServicesName) {
  const Torrent t = MakeTorrent(1000);
  const std::string rows = "\r\n" + Row(Utf8("电影/第一集.mkv"), "700.25 MB") + "\r\n" +
                           Row("readme.txt", "1 KB") + "\r\n" + Row(Utf8("字幕.srt"), "12 KB") +
                           "\r\n";
  Serve(Page(rows, t.hash), Download(Utf8("种子名[pellucor.local].torrent"), t.bytes));
  view.box = GbkText("  " + std::string(MagnetPrefix) + t.hash + " ");
  RunSecondRoute(view, dir, host(), "pellucor.local");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine, "POST /magnet-bt/index.php HTTP/1.1");
  EXPECT_EQ(requests[0].body, "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + t.hash);
  EXPECT_EQ(requests[1].requestLine, "GET /magnet-bt/down.php?hash=" + t.hash + " HTTP/1.1");
  EXPECT_EQ(view.pendingEventRounds, 2);
  EXPECT_EQ(view.log, std::string("电影/第一集.mkv【文件大小：700.25 MB】\r\n") +
                          "readme.txt【文件大小：1 KB】\r\n" + "字幕.srt【文件大小：12 KB】\r\n" +
                          kSeparator + kSuccessPrefix + "种子名.torrent" + kSuccessSuffix +
                          "\r\n\r\n");
  EXPECT_EQ(Content(dir, "种子名.torrent"), t.bytes);
  EXPECT_EQ(view.box, GbkText(""));
}

TEST_F(SecondRouteTest, RowsOnOneLineCanRunTogether) {
  const Torrent t = MakeTorrent(1100);
  Serve(Page(Row("a.mkv", "1 MB") + Row("b.mkv", "2 MB"), t.hash),
        Download("n[pellucor.local].torrent", t.bytes));
  view.box = GbkText(t.hash);
  RunSecondRoute(view, dir, host(), "pellucor.local");
  // the greedy name runs over the first row's end; its tags vanish and "</td></tr>" breaks
  EXPECT_EQ(view.log.substr(0, view.log.find("---")), "a.mkv1 MB\r\nb.mkv【文件大小：2 MB】\r\n");
}

TEST_F(SecondRouteTest, DownloadOutcomes) {
  const Torrent t = MakeTorrent(1200);
  const Torrent other = MakeTorrent(1200, "other");
  const Torrent small = MakeTorrent(300), smallOther = MakeTorrent(300, "other");
  const std::string failureMessage = "该磁力链接无法生成BT种子\r\n";
  struct Case {
    std::string reply;
    bool saved;
    std::string box = "";  // the hash of `t` when empty
    std::string sent = "";
  };
  const Case cases[] = {
      {FakeHttpServer::Reply("200 OK", "", Utf8("该磁力链接无法生成BT种子")), false},
      {Download("n[pellucor.local].torrent", t.bytes.substr(0, 999)), false},
      {Download("n[pellucor.local].torrent", "<h1>502 Bad Gateway</h1>" + std::string(2000, ' ')),
       false},
      {Download("n[pellucor.local].torrent", other.bytes), false},  // another torrent
      {Download("n[pellucor.local].torrent", t.bytes), true},
      // under 1000 bytes: saved when the hash proves it the torrent asked for
      {Download("n[pellucor.local].torrent", small.bytes), true, small.hash},
      {Download("n[pellucor.local].torrent", smallOther.bytes), false, small.hash},
      // a version-2 link: its 64-hex hash is sent, and SHA-256 proves the torrent
      {Download("n[pellucor.local].torrent", small.bytes), true,
       "magnet:?xt=urn:btmh:1220" + small.hashV2, small.hashV2},
      {Download("n[pellucor.local].torrent", other.bytes), false,
       "magnet:?xt=urn:btmh:1220" + small.hashV2},
  };
  for (const Case& c : cases) {
    FakeHttpServer s;
    s.SetHandler([&](const RecordedRequest& r) {
      if (r.target == "/magnet-bt/index.php")
        return FakeHttpServer::Reply("200 OK", "", Page("", t.hash));
      return c.reply;
    });
    RecordingView v;
    v.box = GbkText(c.box.empty() ? t.hash : c.box);
    const testing::Sandbox box("routes");
    const std::string& d = box.path();
    RunSecondRoute(v, d, "127.0.0.1:" + std::to_string(s.port()), "pellucor.local");
    if (!c.sent.empty()) {
      ASSERT_FALSE(s.Requests().empty());
      EXPECT_EQ(s.Requests()[0].body, "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + c.sent);
    }
    if (c.saved) {
      EXPECT_EQ(v.log, std::string(kSeparator) + kSuccessPrefix + "n.torrent" + kSuccessSuffix +
                           "\r\n\r\n");
    } else {
      EXPECT_EQ(v.log, kSeparator + failureMessage) << (&c - cases);
      EXPECT_EQ(v.box, GbkText(c.box.empty() ? t.hash : c.box));
    }
  }
}

TEST_F(SecondRouteTest, AnEmptyPageStillTriesTheBareDownloadAddress) {
  server.SetHandler([](const RecordedRequest&) { return FakeHttpServer::Reply("200 OK", "", ""); });
  view.box = GbkText(MakeTorrent(1100).hash);
  RunSecondRoute(view, dir, host(), "pellucor.local");
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].target, "/magnet-bt");
  EXPECT_EQ(view.log, std::string(kSeparator) + "该磁力链接无法生成BT种子\r\n");
}

TEST_F(SecondRouteTest, FileNames) {
  const Torrent t = MakeTorrent(1300);
  struct Case {
    std::string headerName;  // UTF-8, as sent
    std::string saved;       // GBK
  };
  const Case cases[] = {
      {"other[another.site].torrent", t.hash + ".torrent"},  // another site tag: the hash names it
      {"../../evil[pellucor.local].torrent", "evil.torrent"},
      {"a:b*c?[pellucor.local].torrent", "a_b_c_.torrent"},
      {"..[pellucor.local].torrent", t.hash + ".torrent"},
      {"name. . [pellucor.local].torrent", "name.torrent"},
      // device names on Windows: the same "_" names on both builds
      {"CON[pellucor.local].torrent", "_CON.torrent"},
      {"nul[pellucor.local].torrent", "_nul.torrent"},
      {"COM1[pellucor.local].torrent", "_COM1.torrent"},
      {"LPT1.x[pellucor.local].torrent", "_LPT1.x.torrent"},
      {"console[pellucor.local].torrent", "console.torrent"},
      // names up to 255 bytes are kept; longer ones are cut by whole characters to fit
      {std::string(247, 'a') + "[pellucor.local].torrent", std::string(247, 'a') + ".torrent"},
      {std::string(300, 'b') + "[pellucor.local].torrent", std::string(247, 'b') + ".torrent"},
      {Repeat(Utf8("中"), 100) + "[pellucor.local].torrent", Repeat("中", 82) + ".torrent"},
      {std::string(246, 'c') + ". " + std::string(50, 'd') + "[pellucor.local].torrent",
       std::string(246, 'c') + ".torrent"},  // the cut end loses its dot
  };
  for (const Case& c : cases) {
    const testing::Sandbox box("routes");
    const std::string& d = box.path();
    FakeHttpServer s;
    s.SetHandler([&](const RecordedRequest& r) {
      if (r.target == "/magnet-bt/index.php")
        return FakeHttpServer::Reply("200 OK", "", Page("", t.hash));
      return Download(c.headerName, t.bytes);
    });
    RecordingView v;
    v.box = GbkText(t.hash);
    RunSecondRoute(v, d, "127.0.0.1:" + std::to_string(s.port()), "pellucor.local");
    EXPECT_EQ(v.log,
              std::string(kSeparator) + kSuccessPrefix + c.saved + kSuccessSuffix + "\r\n\r\n")
        << c.headerName;
    EXPECT_EQ(Content(d, c.saved), t.bytes) << c.headerName;
  }
}

TEST_F(SecondRouteTest, ExistingFiles) {
  const Torrent t = MakeTorrent(1300);
  Serve(Page("", t.hash), Download("n[pellucor.local].torrent", t.bytes));
  // the same torrent again: kept, reported as saved
  ASSERT_TRUE(WriteBytesToFile(In(dir, "n.torrent"), ByteBuffer(t.bytes)));
  view.box = GbkText(t.hash);
  RunSecondRoute(view, dir, host(), "pellucor.local");
  EXPECT_EQ(view.log,
            std::string(kSeparator) + kSuccessPrefix + "n.torrent" + kSuccessSuffix + "\r\n\r\n");
  // a different file of that name stays; the torrent gets the next free name
  ASSERT_TRUE(WriteBytesToFile(In(dir, "n.torrent"), ByteBuffer(std::string("other"))));
  ASSERT_TRUE(WriteBytesToFile(In(dir, "n (2).torrent"), ByteBuffer(std::string("other 2"))));
  view.log.clear();
  view.box = GbkText(t.hash);
  RunSecondRoute(view, dir, host(), "pellucor.local");
  EXPECT_EQ(view.log, std::string(kSeparator) + kSuccessPrefix + "n (3).torrent" + kSuccessSuffix +
                          "\r\n\r\n");
  EXPECT_EQ(Content(dir, "n.torrent"), "other");
  EXPECT_EQ(Content(dir, "n (3).torrent"), t.bytes);
}

// A service that never answers the first route's post, and one whose download trickles on the
// second route: each route gives up after half a minute with its failure message. (Side by
// side, as each takes that long.)
TEST(StalledServices, EachRouteGivesUpAfterThirtySeconds) {
  const Torrent t = MakeTorrent(1200);
  const testing::Sandbox sandbox("routes");
  const std::string& dir = sandbox.path();
  FakeHttpServer silent, trickling;
  silent.EnqueueSilence();
  trickling.Enqueue(FakeHttpServer::Reply("200 OK", "", Page("", t.hash)));
  trickling.EnqueuePaced(FakeHttpServer::Reply("200 OK", "", t.bytes), 2, 1000);
  RecordingView first, second;
  first.box = second.box = GbkText(t.hash);
  uint32_t firstMs = 0, secondMs = 0;
  std::thread firstRun([&] {
    const uint32_t start = TickCount();
    RunFirstRoute(first, dir, "127.0.0.1:" + std::to_string(silent.port()));
    firstMs = TickCount() - start;
  });
  const uint32_t start = TickCount();
  RunSecondRoute(second, dir, "127.0.0.1:" + std::to_string(trickling.port()), "pellucor.local");
  secondMs = TickCount() - start;
  firstRun.join();
  EXPECT_EQ(first.messages, std::vector<std::string>{"磁力链接失效！"});
  EXPECT_EQ(second.log, std::string(kSeparator) + "该磁力链接无法生成BT种子\r\n");
  for (uint32_t ms : {firstMs, secondMs}) {
    EXPECT_GE(ms, 29500u);
    EXPECT_LE(ms, 34000u);
  }
}

TEST(SafeFileName, Rules) {
  struct Case {
    const char *name, *want;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a/b\\c", "c"},
      {"\x95\x5C"
       "x",
       "\x95\x5C"
       "x"},                     // 5C as a trail byte is no separator
      {"\x95\x7C", "\x95\x7C"},  // nor 7C ("|")
      {"<a>:\"b\"|?*", "_a___b____"},
      {"a\tb\x01", "a_b_"},
      {"name. .", "name"},
      {".", ""},
      {"..", ""},
      {"", ""},
      {"a\x81", "a_"},      // a lead byte without its trail
      {"\x81\x30z", "_z"},  // an invalid pair
      {"lpt9.a.b", "_lpt9.a.b"},
      {"Aux .x", "_Aux .x"},
      {"com10", "com10"},
      {"nul.", "_nul"},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeFileName(c.name), GbkText(c.want)) << c.name;
}

}  // namespace
}  // namespace pellucor
