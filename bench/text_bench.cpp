// Text primitives on a 10 MB page of mixed GBK and ASCII, against the plain byte searches of
// the standard library on the same data. The primitives must step by characters (a match may
// not begin on a trail byte), so the byte searches are the floor, not an equivalent.
// The code-page conversions of whole pages against glibc's iconv on the same page (whose
// characters both map alike; checked before timing): iconv differs from the Windows code
// pages elsewhere, which is why the project has its own tables.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/text.h"
#include "ratio.h"

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

// The whole of `in` converted by iconv from one encoding to another; empty on failure.
std::string Iconv(const char* to, const char* from, std::string_view in, size_t outFactor) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(in.size() * outFactor, '\0');
  char* src = const_cast<char*>(in.data());
  char* dst = out.data();
  size_t srcLeft = in.size(), dstLeft = out.size();
  const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || srcLeft != 0) return {};
  out.resize(out.size() - dstLeft);
  return out;
}

std::string_view Bytes(const std::u16string& units) {
  return {reinterpret_cast<const char*>(units.data()), units.size() * 2};
}

const std::u16string& PageUnits() {
  static const std::u16string units = GbkToUtf16(Page());
  return units;
}

const std::string& PageUtf8() {
  static const std::string utf8 = Utf16ToUtf8(PageUnits());
  return utf8;
}

void BM_GbkToUtf16(benchmark::State& state) {
  if (Bytes(GbkToUtf16(Page())) != Iconv("UTF-16LE", "GBK", Page(), 2))
    return state.SkipWithError("differs from iconv");
  for (auto _ : state) benchmark::DoNotOptimize(GbkToUtf16(Page()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_GbkToUtf16)->Unit(benchmark::kMillisecond);

void BM_IconvGbkToUtf16(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Iconv("UTF-16LE", "GBK", Page(), 2));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_IconvGbkToUtf16)->Unit(benchmark::kMillisecond);

void BM_Utf16ToGbk(benchmark::State& state) {
  if (Utf16ToGbk(PageUnits()) != Page()) return state.SkipWithError("not the page again");
  for (auto _ : state) benchmark::DoNotOptimize(Utf16ToGbk(PageUnits()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_Utf16ToGbk)->Unit(benchmark::kMillisecond);

void BM_IconvUtf16ToGbk(benchmark::State& state) {
  if (Iconv("GBK", "UTF-16LE", Bytes(PageUnits()), 1) != Page())
    return state.SkipWithError("iconv: not the page again");
  for (auto _ : state) benchmark::DoNotOptimize(Iconv("GBK", "UTF-16LE", Bytes(PageUnits()), 1));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_IconvUtf16ToGbk)->Unit(benchmark::kMillisecond);

void BM_Utf8ToUtf16(benchmark::State& state) {
  if (Utf8ToUtf16(PageUtf8()) != PageUnits() ||
      Bytes(PageUnits()) != Iconv("UTF-16LE", "UTF-8", PageUtf8(), 2))
    return state.SkipWithError("differs from iconv");
  for (auto _ : state) benchmark::DoNotOptimize(Utf8ToUtf16(PageUtf8()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PageUtf8().size()));
}
BENCHMARK(BM_Utf8ToUtf16)->Unit(benchmark::kMillisecond);

void BM_IconvUtf8ToUtf16(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Iconv("UTF-16LE", "UTF-8", PageUtf8(), 2));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PageUtf8().size()));
}
BENCHMARK(BM_IconvUtf8ToUtf16)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  return pellucor::bench::RunWithRatios(argc, argv,
                                        {
                                            {"BM_FindText", "BM_StdStringFind"},
                                            {"BM_FindTextIgnoreCase", "BM_StdStringFind"},
                                            {"BM_ReplaceText/1", "BM_StdReplaceLoop"},
                                            {"BM_ReplaceText/0", "BM_StdReplaceLoop"},
                                            {"BM_SplitText", "BM_StdSplitLoop"},
                                            {"BM_GbkToUtf16", "BM_IconvGbkToUtf16"},
                                            {"BM_Utf16ToGbk", "BM_IconvUtf16ToGbk"},
                                            {"BM_Utf8ToUtf16", "BM_IconvUtf8ToUtf16"},
                                        });
}
