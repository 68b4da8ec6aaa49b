// A benchmark main that prints, after the usual table, the ratio of two benchmarks' median
// times from the same run: real time (what a user waits) and CPU time (the work itself, which
// other processes on a busy machine disturb less). Repetitions are interleaved at random, so
// that load from other processes falls on both sides alike. Defaults (overridable on the
// command line): 15 repetitions, medians only.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pellucor::bench {

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) failed_ = true;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medians_[r.run_name.str()] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
    }
  }
  bool failed() const { return failed_; }
  // Median real and CPU time of the benchmark whose full name (without the aggregate) is
  // `name`.
  const std::pair<double, double>* Median(const std::string& name) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, std::pair<double, double>> medians_;
  bool failed_ = false;
};

// Runs the benchmarks and prints "name / reference" for each pair whose both sides ran.
// Exits non-zero when a benchmark reported an error (a reply or result that failed its check).
inline int RunWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, std::string>>& ratios) {
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=15";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions, interleave, aggregates});  // later flags win
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const auto& [name, reference] : ratios) {
    const auto* a = reporter.Median(name);
    const auto* b = reporter.Median(reference);
    if (a && b)
      std::printf("ratio %s / %s: real time %.2f, CPU time %.2f\n", name.c_str(), reference.c_str(),
                  a->first / b->first, a->second / b->second);
  }
  return reporter.failed() ? 1 : 0;
}

}  // namespace pellucor::bench
