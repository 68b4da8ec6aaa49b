// Text primitives on a 10 MB page of mixed GBK and ASCII, against the plain byte searches of
// the standard library on the same data. The primitives must step by characters (a match may
// not begin on a trail byte), so the byte searches are the floor, not an equivalent.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"

namespace pellucor {
namespace {

// Table rows as a file-list page carries them: ASCII markup around GBK names.
const std::string& Page() {
  static const std::string page = [] {
    const char* names[] = {"电影合集", "第一集", "高清版", "Sample", "字幕文件", "readme"};
    std::string s;
    s.reserve(10 * 1024 * 1024 + 64);
    for (unsigned i = 0; s.size() < 10 * 1024 * 1024; ++i) {
      s += "<tr><td>";
      s += names[i % 6];
      s += "/";
      s += names[(i / 6) % 6];
      s += std::to_string(i);
      s += ".mkv</td><td style=\"text-align:right\">700.25 MB</td></tr>\r\n";
    }
    s += "END-OF-PAGE";
    return s;
  }();
  return page;
}

const GbkText& PageText() {
  static const GbkText text(Page());
  return text;
}

void BM_FindText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(FindText(PageText(), "END-OF-PAGE"));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_FindText);

void BM_FindTextIgnoreCase(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(FindText(PageText(), "end-of-page", {}, true));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_FindTextIgnoreCase);

void BM_StdStringFind(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Page().find("END-OF-PAGE"));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_StdStringFind);

void BM_Memmem(benchmark::State& state) {
  const std::string& p = Page();
  for (auto _ : state) benchmark::DoNotOptimize(memmem(p.data(), p.size(), "END-OF-PAGE", 11));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_Memmem);

// Replacing every row end, exact bytes and (the default) ignoring letter case.
void BM_ReplaceText(benchmark::State& state) {
  const bool caseSensitive = state.range(0) != 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(ReplaceText(PageText(), "</td></tr>", "|", 1, -1, caseSensitive));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_ReplaceText)->Arg(1)->Arg(0);

void BM_StdReplaceLoop(benchmark::State& state) {
  const std::string& p = Page();
  for (auto _ : state) {
    std::string out;
    out.reserve(p.size());
    size_t from = 0;
    for (size_t at; (at = p.find("</td></tr>", from)) != std::string::npos; from = at + 10) {
      out.append(p, from, at - from);
      out += '|';
    }
    out.append(p, from, std::string::npos);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_StdReplaceLoop);

void BM_SplitText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(SplitText(PageText(), "\r\n"));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_SplitText);

void BM_StdSplitLoop(benchmark::State& state) {
  const std::string& p = Page();
  for (auto _ : state) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = p.find("\r\n", from)) != std::string::npos; from = at + 2)
      parts.emplace_back(p, from, at - from);
    if (from < p.size()) parts.emplace_back(p, from, std::string::npos);
    benchmark::DoNotOptimize(parts);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_StdSplitLoop);

}  // namespace
}  // namespace pellucor

BENCHMARK_MAIN();
