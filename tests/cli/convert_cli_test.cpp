// pellucor-convert run as a process, the way a shell or a script runs it, against the fake
// server playing both services and the JSON API.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/env.h"
#include "base/json.h"
#include "support/fake_http_server.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/torrents.h"

#if defined(_WIN32)
#include "base/utility_win32.h"
#endif

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::Lines;
using testing::ProgramRun;
using testing::RecordedRequest;

// The program's texts (GBK in this source) as the program writes them: UTF-8.
std::string U(const char* gbk) {
  return GbkToUtf8(gbk);
}

std::string Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos ? "" : "missing: " + what + "\nin: " + text;
}

struct Stored {
  std::string bytes, name;  // name: UTF-8, as the service sends it
};

// The two services and the API on one fake server. Hashes are looked up in upper case.
class Service {
 public:
  Service() {
    server.SetHandler([this](const RecordedRequest& r) { return Answer(r); });
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  // Stores a new torrent named `name` and returns its hash.
  std::string Add(const std::string& name, size_t size = 1100) {
    const testing::Torrent t = testing::MakeTorrent(size, name + "-" + std::to_string(n_++));
    std::lock_guard lock(mutex_);
    torrents_[t.hash] = {t.bytes, name};
    return t.hash;
  }
  std::string Bytes(const std::string& hash) {
    std::lock_guard lock(mutex_);
    return torrents_.at(hash).bytes;
  }
  // The API's raw reply for a hash it does not store (default: the service's 404 page).
  void ApiReply(const std::string& hash, std::string reply) {
    std::lock_guard lock(mutex_);
    api_[hash] = std::move(reply);
  }

  FakeHttpServer server;

 private:
  std::string Answer(const RecordedRequest& r) {
    auto hashAfter = [](const std::string& s, const std::string& marker) {
      const size_t at = s.find(marker);
      return at == std::string::npos ? "" : UpperCaseAscii(s.substr(at + marker.size())).str();
    };
    std::lock_guard lock(mutex_);
    const std::string kForm = "urn%3Abtih%3A";
    if (r.target == "/download.aspx") {
      const auto t = torrents_.find(hashAfter(r.body, kForm));
      return t != torrents_.end()
                 ? FakeHttpServer::Reply("200 OK", "", t->second.bytes)
                 : FakeHttpServer::Reply("200 OK", "Content-Type: text/html; charset=utf-8\r\n",
                                         U("<p>您输入的HASH暂未存储</p>"));
    }
    if (r.target == "/magnet-bt/index.php") {
      const std::string hash = hashAfter(r.body, kForm);
      if (!torrents_.count(hash)) return FakeHttpServer::Reply("200 OK", "", "<p>no</p>");
      return FakeHttpServer::Reply(
          "200 OK", "",
          "<table>\n<tr><td>" + torrents_[hash].name +
              "</td><td style=\"text-align:right\">1 KB</td></tr>\n</table><a href=\"./down.php?"
              "hash=" +
              hash + "\" class=\"btn btn-primary\" target=\"_blank\">" + U("点击下载") + "</a>");
    }
    if (r.target.rfind("/magnet-bt/down.php?hash=", 0) == 0) {
      const auto t = torrents_.find(hashAfter(r.target, "hash="));
      if (t == torrents_.end()) return FakeHttpServer::Reply("404 Not Found", "", "");
      return FakeHttpServer::Reply("200 OK",
                                   "Content-Disposition: attachment; filename=" + t->second.name +
                                       "[pellucor.local].torrent\r\n",
                                   t->second.bytes);
    }
    const auto api = api_.find(hashAfter(r.target, "/api/v1/torrents/"));
    if (api != api_.end()) return api->second;
    return FakeHttpServer::Reply("404 Not Found", "Content-Type: text/html\r\n",
                                 "<p>404 Not Found</p>");
  }

  std::mutex mutex_;
  std::map<std::string, Stored> torrents_;
  std::map<std::string, std::string> api_;
  int n_ = 0;
};

std::string ApiMiss(const std::string& outcome, const std::string& message) {
  return FakeHttpServer::Reply(
      "404 Not Found", "Content-Type: application/json\r\n",
      "{\"error\":\"not_found\",\"outcome\":\"" + outcome + "\",\"message\":\"" + message +
          "\",\"dhtNodes\":0,\"peersSeen\":0,\"peersTried\":0,\"seconds\":1.5}");
}

class ConvertCliTest : public ::testing::Test {
 protected:
  // Runs the program in the test's directory (UTF-8 arguments). Its lines end the platform's
  // way, every one of them; the checks see them ended by "\n".
  ProgramRun Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--service", service.Host()});
    ProgramRun run = testing::RunProgram(PELLUCOR_CONVERT_PROGRAM, args,
                                         {.input = input, .directory = GbkToUtf8(dir)});
    for (std::string* text : {&run.out, &run.err}) {
      std::string lf;
      for (size_t i = 0; i < text->size(); ++i) {
        const bool crlf = text->compare(i, 2, "\r\n") == 0;
        if (crlf) ++i;
        if ((*text)[i] == '\n') {
          EXPECT_EQ(crlf, std::string(kPathSeparator) == "\\") << *text;
        }
        lf.push_back((*text)[i]);
      }
      *text = lf;
    }
    return run;
  }
  std::string FileIn(const std::string& utf8Path) {
    const auto bytes = ReadBytesFromFile(GbkText(Utf16ToGbk(Utf8ToUtf16(utf8Path))));
    return bytes ? bytes->str() : "<missing>";
  }
  std::string Path(const std::string& utf8Name) {
    return GbkToUtf8(dir) + kPathSeparator + utf8Name;
  }

  Service service;
  const testing::Sandbox sandbox{"cli"};
  const std::string& dir = sandbox.path();
};

TEST_F(ConvertCliTest, LinksFromArgumentsFilesAndStandardInput) {
  const std::string a = service.Add(U("甲")), b = service.Add("b"), c = service.Add("c"),
                    d = service.Add("d"), e = service.Add("e");
  // LF and CR LF files with a byte-order mark, comments and blank lines; the lines reach the
  // routes without their line breaks (a CR left on would make the link 61 bytes: rejected).
  ASSERT_TRUE(WriteBytesToFile(
      GbkText(dir + kPathSeparator + "lf.txt"),
      ByteBuffer("\xEF\xBB\xBF# links\n\n" + b + "\n  \t\nmagnet:?xt=urn:btih:" + c + "\n")));
  ASSERT_TRUE(WriteBytesToFile(GbkText(dir + kPathSeparator + "crlf.txt"),
                               ByteBuffer("  # more\r\nmagnet:?xt=urn:btih:" + d + "\r\n\r\n")));
  const std::string sub = "out" + std::string(kPathSeparator) + "sub";  // made, both levels
  const ProgramRun run = Run({"-j", "1", "-d", sub, "magnet:?xt=urn:btih:" + a, "-i", "lf.txt",
                              "-i", "crlf.txt", "-i", "-"},
                             "# standard input\n" + e + "\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string out = sub + kPathSeparator;
  // One at a time (-j 1): the links finish in the order given.
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{
                "OK " + a + " " + out + U("甲.torrent"), "OK " + b + " " + out + "b.torrent",
                "OK " + c + " " + out + "c.torrent", "OK " + d + " " + out + "d.torrent",
                "OK " + e + " " + out + "e.torrent"}));
  EXPECT_EQ(FileIn(Path(out + U("甲.torrent"))), service.Bytes(a));
  EXPECT_EQ(FileIn(Path(out + "e.torrent")), service.Bytes(e));
  // The window's log lines on standard error, in UTF-8.
  EXPECT_EQ(Contains(run.err, U("甲【文件大小：1 KB】") + "\n" +
                                  U("---------------以上为该种子信息预览---------------") + "\n" +
                                  U("正在转化种子，请稍后……") + "\n" +
                                  U("种子获取成功，种子文件<甲.torrent>已经保存到软件运行目录！")),
            "");
  EXPECT_EQ(Contains(run.err, "5 of 5 converted, 0 failed"), "");
}

TEST_F(ConvertCliTest, WithoutDirectorySavesInTheCurrentOne) {
  const std::string a = service.Add("here");
  const ProgramRun run = Run({"--route", "1", a});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 1u);
  // "OK <hash> 1437.torrent": a bare name, in the directory the program was started in.
  const std::string file = lines[0].substr(std::string("OK " + a + " ").size());
  EXPECT_EQ(lines[0], "OK " + a + " " + file);
  EXPECT_EQ(file.size(), 12u);
  EXPECT_EQ(FileIn(Path(file)), service.Bytes(a));
  // The first route's success line on standard error, as the window logs it.
  EXPECT_EQ(Contains(run.err, U("种子获取成功，种子文件<") + file + ">"), "");
  // Another site tag: the service's name does not match it, and the torrent is named by its hash.
  const ProgramRun tagged = Run({"--site-tag", "other.tag", a});
  EXPECT_EQ(tagged.out, "OK " + a + " " + a + ".torrent\n") << tagged.err;
}

// Many links at once: every torrent saved once, in a file of its own, even where two torrents
// have the same name (the second route then numbers them) or the first route draws names. On
// the second route a link given twice finds its torrent saved already, as in the window.
TEST_F(ConvertCliTest, EightAtOnceSaveEveryTorrentOnce) {
  std::vector<std::string> hashes;
  for (int i = 0; i < 200; ++i) hashes.push_back(service.Add("same-" + std::to_string(i / 2)));
  for (const std::string route : {"1", "2"}) {
    const std::string out = "route" + route;
    std::vector<std::string> args = {"-j", "8", "--route", route, "-d", out};
    for (size_t i = 0; i < hashes.size(); ++i) {
      args.push_back(hashes[i]);
      if (route == "2" && i % 10 == 0) args.push_back(hashes[i]);  // side by side with itself
    }
    const ProgramRun run = Run(args);
    EXPECT_EQ(run.exitCode, 0) << run.err.substr(0, 2000);
    std::map<std::string, std::string> fileOf, hashIn;
    const std::vector<std::string> lines = Lines(run.out);
    EXPECT_EQ(lines.size(), args.size() - 6) << route;
    for (const std::string& line : lines) {
      ASSERT_EQ(line.substr(0, 3), "OK ") << line;
      const std::string hash = line.substr(3, 40), file = line.substr(44);
      EXPECT_EQ(fileOf.emplace(hash, file).first->second, file) << route << ": " << hash;
      EXPECT_EQ(hashIn.emplace(file, hash).first->second, hash) << route << ": " << file;
      EXPECT_EQ(FileIn(Path(file)), service.Bytes(hash)) << route << ": " << file;
    }
    EXPECT_EQ(fileOf.size(), 200u) << route;
  }
}

// Why a link failed: the lookup outcome when the service's API remembers one, else the
// route's own message (the first route's message boxes become log lines).
TEST_F(ConvertCliTest, FailedLinksSayWhy) {
  const std::string stored = service.Add("ok");
  const std::string peerless = std::string(40, 'A'), timed = std::string(40, 'B'),
                    unknown = std::string(40, 'C'), rejected = std::string(40, 'D');
  service.ApiReply(peerless, ApiMiss("no_peers", "no peers found"));
  service.ApiReply(timed, ApiMiss("timed_out", "timed out"));
  // No lookup to speak of, and a refused hash: the route's message stands.
  service.ApiReply(unknown,
                   FakeHttpServer::Reply("404 Not Found", "Content-Type: application/json\r\n",
                                         "{\"error\":\"not_found\",\"message\":\"not stored\"}"));
  service.ApiReply(rejected,
                   FakeHttpServer::Reply("400 Bad Request", "Content-Type: application/json\r\n",
                                         "{\"error\":\"bad_hash\",\"message\":\"bad\"}"));
  const std::string none = std::string(40, 'E');  // the API is not there: the service's 404 page
  // A hostile service's phrase: a clipboard write, a bell, and a line break forging a result.
  const std::string hostile = std::string(40, 'F');
  service.ApiReply(hostile, ApiMiss("no_peers", "x\\u001b]52;c;ZXZpbA==\\u0007\\nOK " + stored +
                                                    " forged.torrent"));
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::string cannot = U("该磁力链接无法生成BT种子"), lost = U("您输入的HASH暂未收录");
  struct Case {
    std::string route;
    std::map<std::string, std::string> lines;  // hash -> the rest of its line
  };
  const Case cases[] = {
      {"2",
       {{stored, "OK"},
        {peerless, "FAIL no peers found"},
        {timed, "FAIL timed out"},
        {unknown, "FAIL " + cannot},
        {rejected, "FAIL " + cannot},
        {none, "FAIL " + cannot},
        {hostile, "FAIL x" + r + "]52;c;ZXZpbA==" + r + r + "OK " + stored + " forged.torrent"}}},
      {"1", {{peerless, "FAIL no peers found"}, {none, "FAIL " + lost}}},
  };
  ASSERT_TRUE(WriteBytesToFile(GbkText(dir + kPathSeparator + "more links.txt"),
                               ByteBuffer("# one\n\nno link either\n")));
  for (const Case& c : cases) {
    // "--service HOST" come first: the links are arguments 7 and on.
    std::vector<std::string> args = {"--route", c.route, "-d", "r" + c.route};
    std::map<std::string, std::string> want;
    for (const auto& [hash, rest] : c.lines) {
      args.push_back(hash);
      const std::string input = " arg:" + std::to_string(args.size() + 2);
      want[hash] = rest.substr(0, 4) == "FAIL" ? "FAIL" + input + rest.substr(4) : rest;
    }
    args.push_back("not a link");
    want["not%20a%20link"] = "FAIL arg:" + std::to_string(args.size() + 2) + " " +
                             U("磁力链接错误，请输入正确的磁力链接！");
    args.insert(args.end(), {"-i", "more links.txt"});
    want["no%20link%20either"] =
        "FAIL more%20links.txt:3 " + U("磁力链接错误，请输入正确的磁力链接！");
    const ProgramRun run = Run(args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out.find('\x1B'), std::string::npos);
    std::map<std::string, std::string> got;
    for (const std::string& line : Lines(run.out)) {
      const size_t space = line.find(' '), second = line.find(' ', space + 1);
      const std::string hash = line.substr(space + 1, second - space - 1);
      got[hash] = line.substr(0, space) + (line.substr(0, 4) == "FAIL" ? line.substr(second) : "");
    }
    EXPECT_EQ(Lines(run.out).size(), want.size()) << run.out;  // one line per link, no more
    EXPECT_EQ(got, want) << "route " << c.route;
    if (c.route == "1") {
      EXPECT_EQ(Contains(run.err, lost + "\n"), "");
    }
  }
}

TEST_F(ConvertCliTest, JsonLinesParseBack) {
  const std::string stored = service.Add(U("名字 \"引号\""));
  const std::string peerless = std::string(40, 'A');
  service.ApiReply(peerless, ApiMiss("no_peers", "no peers found"));
  const ProgramRun run = Run({"--json", "-d", "j", stored, peerless, "bad"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  std::map<std::string, JsonValue> byHash;
  for (const std::string& line : Lines(run.out)) {
    const std::optional<JsonValue> v = ParseJson(line);
    ASSERT_TRUE(v && v->kind == JsonValue::Kind::Object) << line;
    const JsonValue* seconds = v->Find("seconds");
    ASSERT_TRUE(seconds && seconds->kind == JsonValue::Kind::Number) << line;
    EXPECT_GE(seconds->number, 0) << line;
    byHash[v->StringMember("hash").value_or("?")] = *v;
  }
  ASSERT_EQ(byHash.size(), 3u) << run.out;
  const JsonValue& ok = byHash[stored];
  // The name as saved: quotes cannot stand in a Windows file name.
  const std::string file = "j" + std::string(kPathSeparator) + U("名字 _引号_.torrent");
  EXPECT_EQ(ok.StringMember("file"), file);
  EXPECT_EQ(ok.Find("bytes")->number, 1100);
  EXPECT_EQ(ok.StringMember("outcome"), "saved");
  EXPECT_EQ(FileIn(Path(file)), service.Bytes(stored));
  const JsonValue& failed = byHash[peerless];
  EXPECT_EQ(failed.Find("file")->kind, JsonValue::Kind::Null);
  EXPECT_EQ(failed.StringMember("outcome"), "no_peers");
  EXPECT_EQ(failed.StringMember("message"), "no peers found");
  EXPECT_EQ(byHash["bad"].StringMember("outcome"), "bad_link");
  EXPECT_EQ(byHash["bad"].StringMember("message"), U("磁力链接错误，请输入正确的磁力链接！"));
}

TEST_F(ConvertCliTest, ExitStatuses) {
  const std::string stored = service.Add("x");
  ASSERT_TRUE(
      WriteBytesToFile(GbkText(dir + kPathSeparator + "afile"), ByteBuffer(std::string("x"))));
  ASSERT_TRUE(WriteBytesToFile(GbkText(dir + kPathSeparator + "empty.txt"),
                               ByteBuffer(std::string("# none\n"))));
  int closedPort;
  {
    FakeHttpServer gone;
    closedPort = gone.port();
  }
  const std::string nowhere = "127.0.0.1:" + std::to_string(closedPort);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of standard error
  };
  const Case cases[] = {
      {{stored}, 0, "1 of 1 converted"},
      {{"-i", "empty.txt"}, 0, "0 of 0 converted"},
      {{stored, std::string(40, 'F')}, 1, "1 of 2 converted, 1 failed"},
      {{"--service", nowhere, stored}, 3, "no reply from the service at " + nowhere},
      {{"--service", nowhere, "--route", "1", stored, "bad"}, 3, "0 of 2 converted"},
      {{}, 2, "no links given"},
      {{"--frobnicate", stored}, 2, "unknown option --frobnicate"},
      {{"-j", "0", stored}, 2, "-j takes a number from 1 to 64"},
      {{"-j65", stored}, 2, "-j takes a number from 1 to 64"},
      {{"--route=3", stored}, 2, "--route takes 1 or 2"},
      {{stored, "-d"}, 2, "-d needs a value"},
      {{"-i", "missing.txt"}, 2, "cannot read missing.txt"},
      {{"-d", "afile", stored}, 2, "cannot create the directory afile"},
      {{"--service", "http://x/y", stored}, 2, "--service takes HOST[:PORT]"},
      {{"--version"}, 0, ""},
  };
  for (const Case& c : cases) {
    const ProgramRun run = Run(c.args);
    EXPECT_EQ(run.exitCode, c.status) << c.args.size() << " " << run.err;
    EXPECT_EQ(Contains(run.err, c.err), "");
    if (c.status == 2) {
      EXPECT_EQ(run.out, "");
    }
    if (c.args == std::vector<std::string>{"--version"}) {
      EXPECT_EQ(run.out.rfind("pellucor-convert 1.", 0), 0u) << run.out;
    }
  }
  const ProgramRun help = testing::RunProgram(PELLUCOR_CONVERT_PROGRAM, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(Contains(help.out, "usage: pellucor-convert [options] [LINK...]"), "");
}

#if defined(_WIN32)
// In a console the program writes wide characters: Chinese comes out right even on a console
// whose code page has none.
TEST_F(ConvertCliTest, ConsoleShowsChineseOnAnyCodePage) {
  const std::string hash = service.Add(U("中文名"));
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  SetConsoleOutputCP(437);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const ScopedHandle screen(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                        0, nullptr));
  ASSERT_TRUE(screen);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = si.hStdError = screen.get();
  const std::string line =
      "\"" + std::string(PELLUCOR_CONVERT_PROGRAM) + "\" --service " + service.Host() + " " + hash;
  std::wstring command(line.begin(), line.end());  // ASCII
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             Wide(dir).c_str(), &si, &pi));
  const ScopedHandle process(pi.hProcess), thread(pi.hThread);
  EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  CONSOLE_SCREEN_BUFFER_INFO info;
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.get(), &info));
  std::wstring cells(static_cast<size_t>(info.dwSize.X) * static_cast<size_t>(info.dwSize.Y), L' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screen.get(), cells.data(), static_cast<DWORD>(cells.size()), {0, 0},
                              &read);
  FreeConsole();
  EXPECT_NE(cells.find(WideFromUtf8(U("种子获取成功，种子文件<中文名.torrent>"))),
            std::wstring::npos)
      << Utf8FromWide(std::wstring_view(cells).substr(0, read));
  EXPECT_NE(cells.find(WideFromUtf8("OK " + hash + " " + U("中文名.torrent"))), std::wstring::npos);
}
#endif

}  // namespace
}  // namespace pellucor
