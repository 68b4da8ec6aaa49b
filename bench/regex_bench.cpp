// The preview search of the second route: PreviewRowPattern over a 5 MB page of 50,000 rows,
// then both groups of every match read through RegexObject; against raw pcre2_match of the
// same pattern over the same UTF-16 subject, reading the same group offsets (interpreted and
// JIT-compiled).
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <string>

#include "base/codepage.h"
#include "regex/regex_object.h"

namespace pellucor {
namespace {

const char kPreviewRowPattern[] =
    "<tr><td>(.{1,100})</td><td style=\"text-align:right\">(.{1,9})</td></tr>";

const std::string& Page() {
  static const std::string page = [] {
    std::string s = "<html><body><table>\r\n";
    for (int i = 0; i < 50000; ++i) {
      s += "<tr><td>电影合集/第" + std::to_string(i) + "集 高清版.mkv</td>";
      s += "<td style=\"text-align:right\">" + std::to_string(100 + i % 900) +
           ".25 MB</td></tr>\r\n";
    }
    return s + "</table></body></html>\r\n";
  }();
  return page;
}

void BM_RegexObjectPreview(benchmark::State& state) {
  int64_t rows = 0;
  for (auto _ : state) {
    RegexObject re;
    re.Search(kPreviewRowPattern, GbkText(Page()));
    const int32_t n = re.MatchCount();
    for (int32_t i = 1; i <= n; ++i) {
      benchmark::DoNotOptimize(re.SubMatchText(i, 1));
      benchmark::DoNotOptimize(re.SubMatchText(i, 2));
    }
    rows += n;
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_RegexObjectPreview)->Unit(benchmark::kMillisecond);

void BM_RawPcre2Preview(benchmark::State& state) {
  const std::u16string pattern = GbkToUtf16(kPreviewRowPattern);
  const std::u16string subject = GbkToUtf16(Page());
  int64_t rows = 0;
  for (auto _ : state) {
    int error;
    PCRE2_SIZE offset;
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_LF);
    pcre2_code* code =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                      PCRE2_CASELESS | PCRE2_UCP | PCRE2_MULTILINE, &error, &offset, context);
    if (state.range(0)) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    for (size_t from = 0; pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                      subject.size(), from, 0, data, nullptr) > 0;) {
      const PCRE2_SIZE* v = pcre2_get_ovector_pointer(data);
      benchmark::DoNotOptimize(v[2] + v[3] + v[4] + v[5]);
      from = v[1] > v[0] ? v[1] : v[1] + 1;
      ++rows;
    }
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    pcre2_compile_context_free(context);
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
// Arg 0: interpreted matching; 1: JIT-compiled, as the engine does.
BENCHMARK(BM_RawPcre2Preview)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pellucor

BENCHMARK_MAIN();
