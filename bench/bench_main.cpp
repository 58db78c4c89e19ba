// The benchmarks of one binary, then the ratios they were written for.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ratios.hpp"

namespace zel_bench {
namespace {

struct Ratio {
  std::string label;
  std::string measured_benchmark, measured;  // measured: a counter name, or empty for time
  std::string floor_benchmark, floor;
};

std::vector<Ratio>& ratios() {
  static std::vector<Ratio> all;
  return all;
}

// Keeps each benchmark's real time and counters while the console shows them as usual.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that saved output stays plain text.
  RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      Values& values = results_[run.benchmark_name()];
      values["time"] = run.GetAdjustedRealTime();
      for (const auto& [name, counter] : run.counters) values[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-48s %10s\n", "ratio (stack / plain memory work, same run)", "");
    for (const Ratio& ratio : ratios()) {
      const double* measured = find(ratio.measured_benchmark, ratio.measured);
      const double* floor = find(ratio.floor_benchmark, ratio.floor);
      if (measured && floor && *floor > 0) {
        std::printf("%-48s %9.2fx\n", ratio.label.c_str(), *measured / *floor);
      } else {
        std::printf("%-48s %10s\n", ratio.label.c_str(), "not run");
      }
    }
  }

 private:
  using Values = std::map<std::string, double>;
  const double* find(const std::string& benchmark, const std::string& value) const {
    auto run = results_.find(benchmark);
    if (run == results_.end()) return nullptr;
    auto found = run->second.find(value.empty() ? "time" : value);
    return found == run->second.end() ? nullptr : &found->second;
  }
  std::map<std::string, Values> results_;
};

}  // namespace

TimeRatio::TimeRatio(std::string label, std::string measured, std::string floor) {
  ratios().push_back({std::move(label), std::move(measured), "", std::move(floor), ""});
}

CounterRatio::CounterRatio(std::string label, std::string benchmark, std::string measured,
                           std::string floor) {
  ratios().push_back(
      {std::move(label), benchmark, std::move(measured), benchmark, std::move(floor)});
}

}  // namespace zel_bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  zel_bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
