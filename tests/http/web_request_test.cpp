// WebRequest against the fake server. The same expectations hold for both transports: the
// Windows build speaks through WinInet, the Linux build through libcurl.
#include "http/web_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include <string>
#include <thread>
#include <vector>

#include "base/env.h"
#include "http/transport.h"

#include "support/fake_http_server.h"
#include "support/printers.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;

const std::string kDefaultAgentLine = std::string("User-Agent: ") + DefaultUserAgent;

// The request header lines a caller controls, in the order sent: the transport's own lines
// (Host, Content-Length, connection and cache control) are left out.
std::vector<std::string> CallerLines(const RecordedRequest& r) {
  std::vector<std::string> lines;
  for (const std::string& line : r.headerLines) {
    const std::string name = line.substr(0, line.find(':'));
    bool transport = false;
    for (const char* t : {"host", "content-length", "connection", "cache-control", "pragma"}) {
      transport = transport || (name.size() == std::strlen(t) &&
                                std::equal(name.begin(), name.end(), t, [](char a, char b) {
                                  return std::tolower(static_cast<unsigned char>(a)) == b;
                                }));
    }
    if (!transport) lines.push_back(line);
  }
  return lines;
}

ByteBuffer Bytes(const std::string& s) {
  return ByteBuffer(s);
}

TEST(WebRequest, OnlyUrlSendsTheDefaultLines) {
  FakeHttpServer server;
  server.Enqueue(FakeHttpServer::Reply("200 OK", "", "hello"));
  const std::string url = server.Url("/a/b?c=1");
  EXPECT_EQ(WebRequest(GbkText(url)), Bytes("hello"));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET /a/b?c=1 HTTP/1.1");
  EXPECT_EQ(CallerLines(requests[0]),
            (std::vector<std::string>{kDefaultAgentLine, "Referer: " + url, "Accept: */*",
                                      "Accept-Language: zh-cn",
                                      "Content-Type: application/x-www-form-urlencoded"}));
  EXPECT_TRUE(requests[0].body.empty());
}

TEST(WebRequest, HeaderBlockAndAgent) {
  struct Case {
    std::string extra;       // the caller's ExtraHeaders
    std::string blockAfter;  // ExtraHeaders after the call, with URL standing for the URL
    std::string agent;       // the User-Agent the server saw
  };
  const Case cases[] = {
      {"",
       "Referer: URL\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: "
       "application/x-www-form-urlencoded",
       DefaultUserAgent},
      // the key tests are case-sensitive, the agent test is not
      {"user-agent: X\r\nreferer: r",
       "user-agent: X\r\nreferer: r\r\nReferer: URL\r\nAccept: */*\r\nAccept-Language: "
       "zh-cn\r\nContent-Type: application/x-www-form-urlencoded",
       "X"},
      // one line without a line break: the agent is the value after the colon
      {"User-Agent: Y",
       "User-Agent: Y\r\nReferer: URL\r\nAccept: */*\r\nAccept-Language: "
       "zh-cn\r\nContent-Type: application/x-www-form-urlencoded",
       "Y"},
      {"Accept: text/html\r\nContent-Type: text/plain",
       "Accept: text/html\r\nContent-Type: text/plain\r\nReferer: URL\r\nAccept-Language: zh-cn",
       DefaultUserAgent},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.Enqueue(FakeHttpServer::Reply("200 OK", "", "ok"));
    const std::string url = server.Url("/p");
    GbkText extra(c.extra);
    WebRequest(GbkText(url), 0, {}, nullptr, nullptr, &extra);
    std::string want = c.blockAfter;
    want.replace(want.find("URL"), 3, url);
    EXPECT_EQ(extra, GbkText(want)) << c.extra;
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].Header("User-Agent"), c.agent) << c.extra;
  }
}

// A caller block ending in a line break leaves an empty line in the block; no transport sends
// it (it would end the request head early).
TEST(WebRequest, TrailingLineBreakInTheCallersBlock) {
  FakeHttpServer server;
  server.Enqueue(FakeHttpServer::Reply("200 OK", "", "ok"));
  const std::string url = server.Url("/t");
  GbkText extra = "X-A: 1\r\n";
  EXPECT_EQ(WebRequest(GbkText(url), 0, {}, nullptr, nullptr, &extra), Bytes("ok"));
  EXPECT_EQ(extra, GbkText("X-A: 1\r\n\r\nReferer: " + url +
                           "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: "
                           "application/x-www-form-urlencoded"));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(CallerLines(server.Requests()[0]),
            (std::vector<std::string>{kDefaultAgentLine, "X-A: 1", "Referer: " + url, "Accept: */*",
                                      "Accept-Language: zh-cn",
                                      "Content-Type: application/x-www-form-urlencoded"}));
}

TEST(WebRequest, MethodAndBody) {
  struct Case {
    int32_t method;
    std::string postData, postBytes;
    std::string verb, sent, postBytesAfter;
  };
  const Case cases[] = {
      {0, "a=1", "", "GET", "", ""},
      {1, "a=1", "", "POST", "a=1", "a=1"},
      {2, "a=1", "", "GET", "a=1", "a=1"},
      {1, "ignored", std::string("raw\0bytes", 9), "POST", std::string("raw\0bytes", 9),
       std::string("raw\0bytes", 9)},
      {7, "", "", "GET", "", ""},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.Enqueue(FakeHttpServer::Reply("200 OK", "", "ok"));
    ByteBuffer postBytes(c.postBytes);
    EXPECT_EQ(WebRequest(GbkText(server.Url("/f")), c.method, GbkText(c.postData), nullptr, nullptr,
                         nullptr, nullptr, false, &postBytes),
              Bytes("ok"));
    ASSERT_EQ(server.Requests().size(), 1u) << c.method;
    EXPECT_EQ(server.Requests()[0].method, c.verb) << c.method;
    EXPECT_EQ(server.Requests()[0].body, c.sent) << c.method;
    EXPECT_EQ(postBytes, Bytes(c.postBytesAfter)) << c.method;
  }
}

TEST(WebRequest, CookiesAreCollectedAndMerged) {
  FakeHttpServer server;
  const std::string reply =
      FakeHttpServer::Reply("200 OK", "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n", "ok");
  server.Enqueue(reply);
  server.Enqueue(reply);
  GbkText responseCookies = "stale";
  // (Under /c/ only, so that the transport's own store gives them to no other test.)
  WebRequest(GbkText(server.Url("/c/x")), 0, {}, nullptr, &responseCookies);
  EXPECT_EQ(responseCookies, GbkText("a=1; b=2; "));

  // With the caller's own cookie text: sent as a Cookie line, merged with the reply's.
  GbkText cookies = "c=3; b=old";
  WebRequest(GbkText(server.Url("/c/x")), 0, {}, &cookies, &responseCookies);
  EXPECT_EQ(cookies, GbkText("a=1; b=2; c=3"));
  EXPECT_EQ(responseCookies, GbkText("a=1;b=2;"));
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].Header("Cookie"), "c=3; b=old");
}

// Without a cookie text of the caller's, the transport keeps the cookies itself (one store for
// the process); with one, it adds none of its own.
TEST(WebRequest, PlatformCookieStore) {
  FakeHttpServer server;
  server.Enqueue(FakeHttpServer::Reply("200 OK", "Set-Cookie: store=1; path=/store\r\n", "set"));
  server.SetHandler(
      [](const RecordedRequest&) { return FakeHttpServer::Reply("200 OK", "", "ok"); });
  WebRequest(GbkText(server.Url("/store/set")));
  WebRequest(GbkText(server.Url("/store/auto")));
  GbkText own = "mine=2";
  WebRequest(GbkText(server.Url("/store/own")), 0, {}, &own);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // (Wine's WinInet also sends cookies an earlier test set under another path.)
  EXPECT_NE(requests[1].Header("Cookie").find("store=1"), std::string::npos);
  EXPECT_EQ(requests[2].Header("Cookie"), "mine=2");
}

// A proxy serves plain-HTTP URLs: the request goes to it in absolute form.
TEST(WebRequest, ThroughAProxy) {
  FakeHttpServer proxy;
  proxy.Enqueue(FakeHttpServer::Reply("200 OK", "", "proxied"));
  const std::string target = "http://pellucor-test.invalid:8080/p?q=1";
  EXPECT_EQ(WebRequest(GbkText(target), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr,
                       GbkText("127.0.0.1:" + std::to_string(proxy.port()))),
            Bytes("proxied"));
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].target, target);
}

TEST(WebRequest, LocationAndRedirectTarget) {
  struct Case {
    std::string replyHeaders;
    std::string targetBefore;
    std::string want;  // "BLOCK" stands for the whole reply header block
  };
  const Case cases[] = {
      {"Location: http://elsewhere/x\r\n", "", "http://elsewhere/x"},
      {"Location: http://elsewhere/x\r\n", "mine", "http://elsewhere/x"},
      {"Content-Location: /x\r\n", "", "/x"},
      {"", "mine", "mine"},
      {"", "", "BLOCK"},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.Enqueue(FakeHttpServer::Reply("302 Found", c.replyHeaders, "moved"));
    GbkText target(c.targetBefore), headers;
    // The transport must not follow the 302 itself.
    EXPECT_EQ(WebRequest(GbkText(server.Url("/r")), 0, {}, nullptr, nullptr, nullptr, &target, true,
                         nullptr, std::nullopt, &headers),
              Bytes("moved"));
    EXPECT_EQ(target, c.want == "BLOCK" ? headers : GbkText(c.want)) << c.replyHeaders;
    EXPECT_EQ(server.Requests().size(), 1u);
  }
}

TEST(WebRequest, Follows301WithThePathAppended) {
  struct Case {
    std::string location;  // PORTURL stands for the server's address
    std::string secondTarget;
  };
  const Case cases[] = {
      {"PORTURL", "/a/b?c=1"},
      {"PORTURL/x", "/x/a/b?c=1"},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    std::string location = c.location;
    location.replace(0, 7, server.Url(""));
    server.Enqueue(
        FakeHttpServer::Reply("301 Moved Permanently", "Location: " + location + "\r\n", ""));
    server.Enqueue(FakeHttpServer::Reply("200 OK", "", "arrived"));
    GbkText target, extra;
    EXPECT_EQ(
        WebRequest(GbkText(server.Url("/a/b?c=1")), 0, {}, nullptr, nullptr, &extra, &target, true),
        Bytes("arrived"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].target, c.secondTarget);
  }
}

TEST(WebRequest, RedirectsNotFollowed) {
  for (const std::string status : {"HTTP/1.0 301 Moved Permanently", "HTTP/1.1 302 Moved"}) {
    FakeHttpServer server;
    server.Enqueue(status + "\r\nLocation: " + server.Url("/next") +
                   "\r\nContent-Length: 4\r\nConnection: close\r\n\r\nhere");
    EXPECT_EQ(
        WebRequest(GbkText(server.Url("/a")), 0, {}, nullptr, nullptr, nullptr, nullptr, true),
        Bytes("here"))
        << status;
    EXPECT_EQ(server.Requests().size(), 1u) << status;
  }
}

TEST(WebRequest, A301LoopEndsAtTheBound) {
  FakeHttpServer server;
  server.SetHandler([&](const RecordedRequest&) {
    return FakeHttpServer::Reply("301 Moved Permanently", "Location: " + server.Url("") + "\r\n",
                                 "loop");
  });
  GbkText headers;
  EXPECT_TRUE(WebRequest(GbkText(server.Url("/l")), 0, {}, nullptr, nullptr, nullptr, nullptr, true,
                         nullptr, std::nullopt, &headers)
                  .empty());
  EXPECT_EQ(server.Requests().size(), static_cast<size_t>(1 + kMaxRedirects));
  EXPECT_EQ(FindText(headers, "HTTP/1.1 301"), 1);
}

TEST(WebRequest, Utf8Conversion) {
  const std::string chinese = "\xE4\xB8\xAD";  // UTF-8; GBK D6 D0
  struct Case {
    std::string replyHeaders, body;
    bool converted;
  };
  const Case cases[] = {
      {"", std::string(498, 'x') + "charset=utf-8" + chinese, true},   // starts at 499
      {"", std::string(499, 'x') + "charset=utf-8" + chinese, false},  // starts at 500
      {"", "charset=UTF-8" + chinese, false},
      {"Content-Type: text/html; charset=utf-8\r\n", chinese, true},
      {"Content-Type: text/html; charset=UTF-8\r\n", chinese, false},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.Enqueue(FakeHttpServer::Reply("200 OK", c.replyHeaders, c.body));
    const ByteBuffer got = WebRequest(GbkText(server.Url("/u")));
    std::string want = c.body;
    if (c.converted) want.replace(want.size() - 3, 3, "\xD6\xD0");
    EXPECT_EQ(got, Bytes(want)) << c.replyHeaders << c.body.size();
  }
}

TEST(WebRequest, HeaderBlockTooLargeGivesSpaces) {
  FakeHttpServer server;
  std::string many;  // 60 lines of 100 bytes
  for (int i = 0; i < 60; ++i)
    many += "X-Line-" + std::to_string(100 + i) + ": " + std::string(86, 'a') + "\r\n";
  server.Enqueue(FakeHttpServer::Reply("200 OK", many, "body"));
  GbkText headers, target;
  EXPECT_EQ(WebRequest(GbkText(server.Url("/h")), 0, {}, nullptr, nullptr, nullptr, &target, false,
                       nullptr, std::nullopt, &headers),
            Bytes("body"));
  EXPECT_EQ(headers, SpacesText(5000));
  EXPECT_EQ(target, SpacesText(5000));
}

TEST(WebRequest, UnreachableServerChangesNothing) {
  int port;
  {
    FakeHttpServer closed;  // a port that was just free
    port = closed.port();
  }
  GbkText extra = "X: 1", target = "keep", headers = "keep", cookies = "a=1",
          responseCookies = "rc";
  ByteBuffer postBytes;
  EXPECT_TRUE(WebRequest(GbkText("http://127.0.0.1:" + std::to_string(port) + "/"), 1, "d=1",
                         &cookies, &responseCookies, &extra, &target, false, &postBytes,
                         std::nullopt, &headers)
                  .empty());
  EXPECT_EQ(extra, GbkText("X: 1"));
  EXPECT_EQ(target, GbkText("keep"));
  EXPECT_EQ(headers, GbkText("keep"));
  EXPECT_EQ(cookies, GbkText("a=1"));
  EXPECT_EQ(responseCookies, GbkText("rc"));
  EXPECT_TRUE(postBytes.empty());
}

TEST(WebRequest, BodiesAreByteExact) {
  std::string large(5 * 1024 * 1024 + 7, '\0');
  uint32_t x = 12345;
  for (char& c : large) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  FakeHttpServer server;
  server.Enqueue(
      FakeHttpServer::Reply("200 OK", "Content-Type: application/x-bittorrent\r\n", large));
  server.Enqueue(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
      "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n");
  server.Enqueue("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end");
  // A reply that breaks off before its announced length gives what arrived, however much was
  // announced (the buffer is only reserved from that length, and not beyond a bound).
  for (const char* length : {"100", "3000000000"})
    server.Enqueue(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length +
                   "\r\nConnection: close\r\n\r\ncut short");
  EXPECT_EQ(WebRequest(GbkText(server.Url("/large"))), Bytes(large));
  EXPECT_EQ(WebRequest(GbkText(server.Url("/chunked"))), Bytes("hello, world"));
  EXPECT_EQ(WebRequest(GbkText(server.Url("/close"))), Bytes("until the end"));
  EXPECT_EQ(WebRequest(GbkText(server.Url("/short"))), Bytes("cut short"));
  EXPECT_EQ(WebRequest(GbkText(server.Url("/short-of-much"))), Bytes("cut short"));
}

// A body longer than any torrent a service serves fails the request, announced or not; and an
// announced length is believed only as far as data arrives.
TEST(WebRequest, BodiesHaveABound) {
  const std::string over(static_cast<size_t>(kMaxBodyBytes) + 1, 'x');
  FakeHttpServer server;
  server.Enqueue(FakeHttpServer::Reply("200 OK", "", over));
  server.Enqueue("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + over);
  EXPECT_EQ(WebRequest(GbkText(server.Url("/announced"))), ByteBuffer());
  EXPECT_EQ(WebRequest(GbkText(server.Url("/endless"))), ByteBuffer());

  const struct {
    int64_t announced;
    size_t arrived;  // in chunks of 1024 bytes
    size_t maxRoom;  // the buffer's capacity at most
  } cases[] = {
      {250000000, 1024, 64 * 1024},  // a lie: room for what came, not what was said
      {5 * 1024 * 1024, 1024, 64 * 1024},
      {5 * 1024 * 1024, 5 * 1024 * 1024, 10 * 1024 * 1024},  // the truth: at most twice
      {-1, 300 * 1024, 600 * 1024},
      {100, 4096, 64 * 1024},  // more than announced still arrives
  };
  for (const auto& c : cases) {
    std::string body;
    const std::string chunk(1024, 'b');
    for (size_t n = 0; n < c.arrived; n += chunk.size())
      ASSERT_TRUE(AppendBodyChunk(body, chunk, c.announced));
    EXPECT_EQ(body.size(), c.arrived);
    EXPECT_LE(body.capacity(), c.maxRoom) << c.announced << " " << c.arrived;
  }
  std::string body(static_cast<size_t>(kMaxBodyBytes) - 1, 'b');
  EXPECT_FALSE(AppendBodyChunk(body, "xy", -1));
  EXPECT_EQ(body.size(), static_cast<size_t>(kMaxBodyBytes) - 1);
}

// What goes on the wire for a path holding control bytes, spaces and double-byte characters is
// the same on both transports (WinInet's rules, the rest percent-encoded), and so is the
// Referer line that carries the URL as it was given.
TEST(WebRequest, OneRuleForTheRequestTarget) {
  struct Case {
    std::string path, target;
  };
  const Case cases[] = {
      {"/ad.gif\r", "/ad.gif"},  // a line of a document saved with CR LF ends
      {"/ad.gif\r\n", "/ad.gif"},
      {"/trail \x01 ", "/trail"},
      {"/a b?q=c d", "/a%20b?q=c%20d"},
      {"/a\tb", "/ab"},
      {"/a\x01"
       "b\x7F",
       "/a%01b%7F"},
      {"/a\r\nX-Injected: 1", "/a%0D%0AX-Injected:%201"},
      {"/\xD6\xD0?x=\x95\x5C", "/%D6%D0?x=%95%5C"},  // 5C is a trail byte here, not "\"
      {"/a\\b", "/a/b"},
      {"/a?b#frag", "/a?b"},
      {"/%41%zz\"<>", "/%41%zz\"<>"},
  };
  for (const Case& c : cases) {
    FakeHttpServer server;
    server.Enqueue(FakeHttpServer::Reply("200 OK", "", "ok"));
    const std::string url = server.Url("") + c.path;
    EXPECT_EQ(WebRequest(GbkText(url)), Bytes("ok")) << c.path;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u) << c.path;
    EXPECT_EQ(requests[0].target, c.target) << c.path;
    // The Referer line ends where the URL's first CR or LF stands, and has no trailing spaces.
    std::string referer = url.substr(0, url.find_first_of("\r\n"));
    referer.erase(referer.find_last_not_of(' ') + 1);
    EXPECT_EQ(requests[0].Header("Referer"), referer) << c.path;
    for (const std::string& line : requests[0].headerLines)
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << c.path;
  }
}

// A service that accepts and never answers, one whose reply trickles, and one that stops
// after the headers are each given up after 30 s, like an unreachable server; a reply that
// keeps arriving slowly is read to its end however long it takes. (The cases run side by side:
// each takes half a minute.)
TEST(WebRequest, StalledRequestsEndAfterThirtySeconds) {
  const std::string body(5000, 'b');
  const std::string slowBody(5000, 's');
  FakeHttpServer silent, trickling, halted, slow;
  silent.EnqueueSilence();
  trickling.EnqueuePaced(FakeHttpServer::Reply("200 OK", "", body), 2, 1000);
  halted.EnqueuePaced(FakeHttpServer::Reply("200 OK", "", body), 700, 120000);
  // 1500 bytes every 12 s: 36 s in all
  slow.EnqueuePaced(FakeHttpServer::Reply("200 OK", "", slowBody), 1500, 12000);

  struct Outcome {
    ByteBuffer reply;
    GbkText extra = "X: 1", headers = "kept";
    uint32_t ms = 0;
  };
  Outcome outcomes[4];
  FakeHttpServer* servers[4] = {&silent, &trickling, &halted, &slow};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      Outcome& o = outcomes[i];
      const uint32_t start = TickCount();
      o.reply = WebRequest(GbkText(servers[i]->Url("/s")), 1, "a=1", nullptr, nullptr, &o.extra,
                           nullptr, false, nullptr, std::nullopt, &o.headers);
      o.ms = TickCount() - start;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(outcomes[i].reply.empty()) << i;
    EXPECT_EQ(outcomes[i].extra, GbkText("X: 1")) << i;
    EXPECT_EQ(outcomes[i].headers, GbkText("kept")) << i;
    EXPECT_GE(outcomes[i].ms, 29500u) << i;
    EXPECT_LE(outcomes[i].ms, 34000u) << i;
  }
  EXPECT_EQ(outcomes[3].reply, Bytes(slowBody));
  EXPECT_GE(outcomes[3].ms, 36000u);
}

}  // namespace
}  // namespace pellucor
