// 200 sequential GETs of a 1 MB body from a server on 127.0.0.1: WebRequest against the curl
// command line fetching the same URL as often.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "http/web_request.h"
#include "support/fake_http_server.h"

namespace pellucor {
namespace {

constexpr int kRequests = 200;
constexpr size_t kBodySize = 1024 * 1024;

testing::FakeHttpServer& Server() {
  static testing::FakeHttpServer server;
  static const bool ready = [] {
    const std::string reply = testing::FakeHttpServer::Reply(
        "200 OK", "Content-Type: application/octet-stream\r\n", std::string(kBodySize, 'x'));
    server.SetHandler([reply](const testing::RecordedRequest&) { return reply; });
    return true;
  }();
  (void)ready;
  return server;
}

void BM_WebRequest(benchmark::State& state) {
  const GbkText url(Server().Url("/body"));
  for (auto _ : state) {
    for (int i = 0; i < kRequests; ++i) {
      const ByteBuffer body = WebRequest(url);
      if (body.size() != static_cast<int32_t>(kBodySize)) state.SkipWithError("short body");
    }
  }
  state.SetBytesProcessed(state.iterations() * kRequests * static_cast<int64_t>(kBodySize));
}
BENCHMARK(BM_WebRequest)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_CurlCommandLine(benchmark::State& state) {
  const std::string command = "curl -s -o /dev/null " + Server().Url("/body");
  for (auto _ : state) {
    for (int i = 0; i < kRequests; ++i)
      if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(state.iterations() * kRequests * static_cast<int64_t>(kBodySize));
}
BENCHMARK(BM_CurlCommandLine)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace pellucor

BENCHMARK_MAIN();
