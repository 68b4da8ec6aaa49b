// WebRequest on the Windows transport against the Windows Internet functions called directly on
// the caller's thread (the same flags, header lines and 1024-byte reads), on 127.0.0.1: GETs of
// a 5 MB body and POSTs of a 2 KB form (the server echoes it). Google Benchmark has no MinGW
// build here, so this program times side-by-side pairs itself: each pair runs both requests
// (in turns first), every reply is checked (status and bytes) and a bad one fails the run
// before any ratio is printed; it prints the medians and the median of the pairs' ratios.
//   wine build/win64/bench/web_request_wininet_bench.exe [pairs]
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/transport.h"
#include "http/web_request.h"
#include "support/fake_http_server.h"

namespace pellucor {
namespace {

struct Reply {
  DWORD status = 0;
  std::string body;
};

// The exchange WebRequest makes, written the plain way.
Reply DirectWinInet(const std::string& path, const std::string& url, int port, bool post,
                    const std::string& form) {
  Reply r;
  HINTERNET session =
      InternetOpenA(DefaultUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection = InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(port),
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request =
      HttpOpenRequestA(connection, post ? "POST" : "GET", path.c_str(), "HTTP/1.1", nullptr,
                       nullptr, kFlagReload | kFlagNeedFile | kFlagIgnoreRedirectToHttps, 0);
  const std::string headers = "Referer: " + url +
                              "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: "
                              "application/x-www-form-urlencoded";
  if (HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                       post ? const_cast<char*>(form.data()) : nullptr,
                       post ? static_cast<DWORD>(form.size()) : 0)) {
    DWORD size = sizeof r.status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &r.status, &size,
                   nullptr);
    DWORD length = 0;
    size = sizeof length;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                       nullptr))
      r.body.reserve(length);
    char chunk[kReadChunk];
    DWORD n = 0;
    while (InternetReadFile(request, chunk, kReadChunk, &n) && n > 0) r.body.append(chunk, n);
  }
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
  return r;
}

Reply ThroughWebRequest(const std::string& url, bool post, const std::string& form) {
  GbkText headers;
  Reply r;
  r.body = WebRequest(GbkText(url), post ? 1 : 0, post ? GbkText(form) : GbkText(), nullptr,
                      nullptr, nullptr, nullptr, false, nullptr, std::nullopt, &headers)
               .str();
  if (FindText(headers, "HTTP/1.1 ") == 1) r.status = std::atoi(headers.c_str() + 9);
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs `pairs` side-by-side pairs and returns the line to print; nothing when a reply failed
// its check.
std::optional<std::string> Compare(const char* name, int pairs, const std::function<Reply()>& ours,
                                   const std::function<Reply()>& direct, const std::string& want) {
  std::vector<double> oursMs, directMs, ratios;
  for (int i = 0; i < pairs; ++i) {
    double ms[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
      const int which = (i + k) % 2;  // 0: WebRequest, 1: direct
      LARGE_INTEGER start, end, frequency;
      QueryPerformanceFrequency(&frequency);
      QueryPerformanceCounter(&start);
      const Reply r = which == 0 ? ours() : direct();
      QueryPerformanceCounter(&end);
      ms[which] = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                  static_cast<double>(frequency.QuadPart);
      if (r.status / 100 != 2 || r.body != want) {
        std::fprintf(stderr, "%s: %s reply failed its check (status %lu, %zu bytes)\n", name,
                     which == 0 ? "WebRequest" : "direct", static_cast<unsigned long>(r.status),
                     r.body.size());
        return std::nullopt;
      }
    }
    oursMs.push_back(ms[0]);
    directMs.push_back(ms[1]);
    ratios.push_back(ms[0] / ms[1]);
  }
  char line[200];
  std::snprintf(line, sizeof line,
                "%s: WebRequest %.2f ms, direct WinInet %.2f ms (medians of %d pairs); ratio %.3f",
                name, Median(oursMs), Median(directMs), pairs, Median(ratios));
  return line;
}

std::string PseudoRandomBytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  using namespace pellucor;
  const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const std::string large = PseudoRandomBytes(5 * 1024 * 1024, 12345);
  std::string form = "hash=";
  while (form.size() < 2048) form += "0123456789abcdef";
  form.resize(2048);

  testing::FakeHttpServer server;
  server.KeepRequests(false);
  const std::string getReply =
      testing::FakeHttpServer::Reply("200 OK", "Content-Type: application/octet-stream\r\n", large);
  server.SetHandler([&getReply](const testing::RecordedRequest& r) {
    if (r.method == "GET" && r.target == "/get") return getReply;
    if (r.method == "POST" && r.target == "/post")
      return testing::FakeHttpServer::Reply("200 OK", "Content-Type: text/plain\r\n", r.body);
    return testing::FakeHttpServer::Reply("404 Not Found", "", "");
  });
  const std::string getUrl = server.Url("/get"), postUrl = server.Url("/post");
  const int port = server.port();

  const std::optional<std::string> get = Compare(
      "Get5MB", pairs, [&] { return ThroughWebRequest(getUrl, false, form); },
      [&] { return DirectWinInet("/get", getUrl, port, false, form); }, large);
  if (!get) return 1;
  const std::optional<std::string> post = Compare(
      "Post2KB", pairs * 4, [&] { return ThroughWebRequest(postUrl, true, form); },
      [&] { return DirectWinInet("/post", postUrl, port, true, form); }, form);
  if (!post) return 1;
  std::printf("%s\n%s\n", get->c_str(), post->c_str());
  return 0;
}
