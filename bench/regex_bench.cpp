// The preview search of the second route: PreviewRowPattern over a 5 MB page of 50,000 rows,
// then both groups of every match read through RegexObject (GBK page in, GBK groups out);
// against raw JIT-compiled pcre2_match of the same pattern over the page already in UTF-16,
// reading both groups of every match as UTF-16 text; and, as the floor, the same matching that
// only looks at the groups' offsets. Before timing, both sides are checked to find the same
// 50,000 rows with the same group texts.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <string>
#include <vector>

#include "base/codepage.h"
#include "ratio.h"
#include "regex/regex_object.h"

namespace pellucor {
namespace {

constexpr int kRows = 50000;
const char kPreviewRowPattern[] =
    "<tr><td>(.{1,100})</td><td style=\"text-align:right\">(.{1,9})</td></tr>";

const std::string& Page() {
  static const std::string page = [] {
    std::string s = "<html><body><table>\r\n";
    for (int i = 0; i < kRows; ++i) {
      s += "<tr><td>电影合集/第" + std::to_string(i) + "集 高清版.mkv</td>";
      s += "<td style=\"text-align:right\">" + std::to_string(100 + i % 900) +
           ".25 MB</td></tr>\r\n";
    }
    return s + "</table></body></html>\r\n";
  }();
  return page;
}

// Both groups of every match, the way a caller of RegexObject reads them.
std::vector<GbkText> RegexObjectGroups(const GbkText& page) {
  RegexObject re;
  re.Search(kPreviewRowPattern, page);
  const int32_t n = re.MatchCount();
  std::vector<GbkText> groups;
  groups.reserve(2 * static_cast<size_t>(n));
  for (int32_t i = 1; i <= n; ++i) {
    groups.push_back(re.SubMatchText(i, 1));
    groups.push_back(re.SubMatchText(i, 2));
  }
  return groups;
}

// The same with pcre2 alone: compile (JIT), match every row, copy both groups out (or, with
// `offsetsOnly`, only look at where they are: the floor, which reads no text).
std::vector<std::u16string> RawPcre2Groups(const std::u16string& pattern,
                                           const std::u16string& subject,
                                           bool offsetsOnly = false) {
  int error;
  PCRE2_SIZE offset;
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(context, PCRE2_NEWLINE_LF);
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                    PCRE2_CASELESS | PCRE2_UCP | PCRE2_MULTILINE, &error, &offset, context);
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  std::vector<std::u16string> groups;
  for (size_t from = 0; pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                    subject.size(), from, 0, data, nullptr) > 0;) {
    const PCRE2_SIZE* v = pcre2_get_ovector_pointer(data);
    if (offsetsOnly) {
      benchmark::DoNotOptimize(v[2] + v[3] + v[4] + v[5]);
    } else {
      groups.emplace_back(subject, v[2], v[3] - v[2]);
      groups.emplace_back(subject, v[4], v[5] - v[4]);
    }
    from = v[1] > v[0] ? v[1] : v[1] + 1;
  }
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  pcre2_compile_context_free(context);
  return groups;
}

// Whether both sides read the same 2 x kRows groups.
bool SameGroups(const GbkText& page, const std::u16string& pattern, const std::u16string& subject) {
  const std::vector<GbkText> ours = RegexObjectGroups(page);
  const std::vector<std::u16string> raw = RawPcre2Groups(pattern, subject);
  if (ours.size() != 2 * kRows || raw.size() != ours.size()) return false;
  for (size_t i = 0; i < ours.size(); ++i)
    if (GbkToUtf16(ours[i].view()) != raw[i]) return false;
  return true;
}

void BM_RegexObjectPreview(benchmark::State& state) {
  const GbkText page(Page());  // the route holds the page as text already
  if (!SameGroups(page, GbkToUtf16(kPreviewRowPattern), GbkToUtf16(Page()))) {
    state.SkipWithError("RegexObject and pcre2 read different groups");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(RegexObjectGroups(page));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_RegexObjectPreview)->Unit(benchmark::kMillisecond);

void BM_RawPcre2JitPreview(benchmark::State& state) {
  const std::u16string pattern = GbkToUtf16(kPreviewRowPattern);
  const std::u16string subject = GbkToUtf16(Page());
  if (RawPcre2Groups(pattern, subject).size() != 2 * kRows) {
    state.SkipWithError("pcre2 did not find every row");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(RawPcre2Groups(pattern, subject));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_RawPcre2JitPreview)->Unit(benchmark::kMillisecond);

void BM_RawPcre2JitOffsetsOnly(benchmark::State& state) {
  const std::u16string pattern = GbkToUtf16(kPreviewRowPattern);
  const std::u16string subject = GbkToUtf16(Page());
  for (auto _ : state) benchmark::DoNotOptimize(RawPcre2Groups(pattern, subject, true));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Page().size()));
}
BENCHMARK(BM_RawPcre2JitOffsetsOnly)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  return pellucor::bench::RunWithRatios(argc, argv,
                                        {{"BM_RegexObjectPreview", "BM_RawPcre2JitPreview"},
                                         {"BM_RegexObjectPreview", "BM_RawPcre2JitOffsetsOnly"}});
}
