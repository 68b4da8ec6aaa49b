// WebRequest against libcurl's easy interface in the same process, on 127.0.0.1: GETs of a
// 1 MB body and POSTs of a 2 KB form (the server echoes it), libcurl with a new handle per
// request and with one handle reused. libcurl sends the same header lines and collects the
// body into a string reserved from the announced length, as a careful caller would.
//
// Every reply is checked, status and bytes (outside the timed part); a reply that fails the
// check fails the benchmark and the ratios are not printed. The repetitions of all cases run
// interleaved, and the ratios at the end are of their medians. The peak/body counter is the
// most heap the requesting thread held during one request beyond what it held before, over
// the body's size.
//   build/linux/bench/web_request_bench [--benchmark_repetitions=N ...]
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "http/web_request.h"
#include "support/fake_http_server.h"

// Heap accounting of the calling thread, for the peak/body counter: the process's malloc
// family, libcurl's included, goes through these to glibc's own.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}
namespace {
__thread int64_t heapLive = 0;
__thread int64_t heapPeak = 0;
void* Counted(void* p) {
  if (p) heapLive += static_cast<int64_t>(malloc_usable_size(p));
  if (heapLive > heapPeak) heapPeak = heapLive;
  return p;
}
void Uncount(void* p) {
  if (p) heapLive -= static_cast<int64_t>(malloc_usable_size(p));
}
}  // namespace
extern "C" {
void* malloc(size_t n) {
  return Counted(__libc_malloc(n));
}
void* calloc(size_t n, size_t size) {
  return Counted(__libc_calloc(n, size));
}
void* realloc(void* p, size_t n) {
  Uncount(p);
  return Counted(__libc_realloc(p, n));
}
void free(void* p) {
  Uncount(p);
  __libc_free(p);
}
}

namespace pellucor {
namespace {

constexpr size_t kGetSize = 1024 * 1024;
constexpr size_t kPostSize = 2048;

std::string PseudoRandomBytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

// A form body: what the conversion routes post.
std::string FormBody(size_t n) {
  std::string s = "hash=";
  while (s.size() < n) s += "0123456789abcdef";
  s.resize(n);
  return s;
}

const std::string& GetBody() {
  static const std::string body = PseudoRandomBytes(kGetSize, 12345);
  return body;
}
const std::string& PostBody() {
  static const std::string body = FormBody(kPostSize);
  return body;
}

// GET /get answers the 1 MB body; POST /post echoes the request body.
testing::FakeHttpServer& Server() {
  static testing::FakeHttpServer server;
  static const bool ready = [] {
    server.KeepRequests(false);
    // (Held outside the handler, which the server copies for every request.)
    static const std::string getReply = testing::FakeHttpServer::Reply(
        "200 OK", "Content-Type: application/octet-stream\r\n", GetBody());
    server.SetHandler([](const testing::RecordedRequest& r) {
      if (r.method == "GET" && r.target == "/get") return getReply;
      if (r.method == "POST" && r.target == "/post")
        return testing::FakeHttpServer::Reply("200 OK", "Content-Type: text/plain\r\n", r.body);
      return testing::FakeHttpServer::Reply("404 Not Found", "", "");
    });
    return true;
  }();
  (void)ready;
  return server;
}

bool failed = false;

// Checks one reply with the clock stopped: `wrong` says what is wrong with it, or nullptr. A
// wrong reply fails the case.
template <typename Wrong>
void Check(benchmark::State& state, Wrong wrong) {
  state.PauseTiming();
  const char* what = wrong();
  state.ResumeTiming();
  if (!what) return;
  failed = true;
  state.SkipWithError(what);
}

struct Peak {
  int64_t mark = heapLive;
  Peak() { heapPeak = heapLive; }
  int64_t Beyond() const { return heapPeak - mark; }
};

// (The peak of a small request is the handle's own memory: only the 1 MB body's is reported.)
void Report(benchmark::State& state, size_t bodySize, int64_t peak) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bodySize));
  if (bodySize == kGetSize)
    state.counters["peak/body"] = static_cast<double>(peak) / static_cast<double>(bodySize);
}

void WebRequestCase(benchmark::State& state, bool post) {
  const GbkText url(Server().Url(post ? "/post" : "/get"));
  const std::string& want = post ? PostBody() : GetBody();
  const GbkText form(PostBody());
  int64_t peak = 0;
  for (auto _ : state) {
    GbkText headers;
    const Peak p;
    const ByteBuffer body = post ? WebRequest(url, 1, form, nullptr, nullptr, nullptr, nullptr,
                                              false, nullptr, std::nullopt, &headers)
                                 : WebRequest(url, 0, {}, nullptr, nullptr, nullptr, nullptr, false,
                                              nullptr, std::nullopt, &headers);
    peak = std::max(peak, p.Beyond());
    Check(state, [&]() -> const char* {
      if (FindText(headers, "HTTP/1.1 2") != 1) return "status not 2xx";
      return body.view() == want ? nullptr : "wrong body";
    });
  }
  Report(state, want.size(), peak);
}

struct Easy {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  std::string body;
  ~Easy() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
};

size_t CollectReserved(char* data, size_t size, size_t n, void* self) {
  auto* e = static_cast<Easy*>(self);
  if (e->body.empty()) {
    curl_off_t length = -1;
    curl_easy_getinfo(e->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0) e->body.reserve(static_cast<size_t>(length));
  }
  e->body.append(data, size * n);
  return size * n;
}

// The options WebRequest's request corresponds to: its header lines, agent and body.
void SetUp(Easy& e, const std::string& url, bool post) {
  curl_easy_setopt(e.curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e.curl, CURLOPT_USERAGENT, DefaultUserAgent);
  curl_easy_setopt(e.curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e.curl, CURLOPT_PROXY, "");
  for (const std::string& line :
       {"Referer: " + url, std::string("Accept: */*"), std::string("Accept-Language: zh-cn"),
        std::string("Content-Type: application/x-www-form-urlencoded")})
    e.headers = curl_slist_append(e.headers, line.c_str());
  curl_easy_setopt(e.curl, CURLOPT_HTTPHEADER, e.headers);
  if (post) {
    curl_easy_setopt(e.curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(PostBody().size()));
    curl_easy_setopt(e.curl, CURLOPT_POSTFIELDS, PostBody().data());
  }
  curl_easy_setopt(e.curl, CURLOPT_WRITEFUNCTION, CollectReserved);
  curl_easy_setopt(e.curl, CURLOPT_WRITEDATA, &e);
}

void Perform(benchmark::State& state, Easy& e, const std::string& want) {
  e.body = std::string();
  const CURLcode rc = curl_easy_perform(e.curl);
  long status = 0;
  curl_easy_getinfo(e.curl, CURLINFO_RESPONSE_CODE, &status);
  Check(state, [&]() -> const char* {
    if (rc != CURLE_OK || status / 100 != 2) return "status not 2xx";
    return e.body == want ? nullptr : "wrong body";
  });
}

void CurlNewHandleCase(benchmark::State& state, bool post) {
  const std::string url = Server().Url(post ? "/post" : "/get");
  const std::string& want = post ? PostBody() : GetBody();
  int64_t peak = 0;
  for (auto _ : state) {
    const Peak p;
    Easy e;
    SetUp(e, url, post);
    Perform(state, e, want);
    peak = std::max(peak, p.Beyond());
  }
  Report(state, want.size(), peak);
}

void CurlReusedHandleCase(benchmark::State& state, bool post) {
  const std::string url = Server().Url(post ? "/post" : "/get");
  const std::string& want = post ? PostBody() : GetBody();
  Easy e;
  SetUp(e, url, post);
  int64_t peak = 0;
  for (auto _ : state) {
    const Peak p;
    Perform(state, e, want);
    peak = std::max(peak, p.Beyond());
  }
  Report(state, want.size(), peak);
}

BENCHMARK_CAPTURE(WebRequestCase, Get, false)->Name("Get1MB/WebRequest");
BENCHMARK_CAPTURE(CurlNewHandleCase, Get, false)->Name("Get1MB/CurlNewHandle");
BENCHMARK_CAPTURE(CurlReusedHandleCase, Get, false)->Name("Get1MB/CurlReusedHandle");
BENCHMARK_CAPTURE(WebRequestCase, Post, true)->Name("Post2KB/WebRequest");
BENCHMARK_CAPTURE(CurlNewHandleCase, Post, true)->Name("Post2KB/CurlNewHandle");
BENCHMARK_CAPTURE(CurlReusedHandleCase, Post, true)->Name("Post2KB/CurlReusedHandle");

// The console output, plus the medians of each case for the ratios: of the elapsed time (what
// a caller waits, the server's work and the machine's other load included) and of the
// requesting thread's CPU time (the client's own work).
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) failed = true;
      if ((r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") ||
          (r.run_type == Run::RT_Iteration && r.repetitions <= 1))
        medians_[r.run_name.function_name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    for (const char* load : {"Get1MB", "Post2KB"}) {
      const std::string base = std::string(load) + "/";
      const auto ours = medians_.find(base + "WebRequest");
      if (ours == medians_.end()) continue;
      for (const char* ref : {"CurlNewHandle", "CurlReusedHandle"}) {
        const auto other = medians_.find(base + ref);
        if (other == medians_.end()) continue;
        std::printf("%s: WebRequest / libcurl %s: %.3f elapsed, %.3f CPU\n", load, ref,
                    ours->second.first / other->second.first,
                    ours->second.second / other->second.second);
      }
    }
  }

 private:
  std::map<std::string, std::pair<double, double>> medians_;  // elapsed, CPU
};

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // Defaults that the command line can override (a later flag wins).
  std::vector<char*> args{argv[0]};
  char repetitions[] = "--benchmark_repetitions=101";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  char minTime[] = "--benchmark_min_time=0.02";
  for (char* a : {repetitions, interleave, aggregates, minTime}) args.push_back(a);
  args.insert(args.end(), argv + 1, argv + argc);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
  pellucor::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (pellucor::failed) {
    std::fprintf(stderr, "a reply failed its check: no ratios\n");
    return 1;
  }
  reporter.PrintRatios();
  return 0;
}
