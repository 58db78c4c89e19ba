#pragma once

#include <string>

// Ratios printed after the benchmarks of a binary have run: each compares a measurement of the
// stack with the plain memory work of the same bytes, measured in the same run.
namespace zel_bench {

// Real time of benchmark `measured` over that of benchmark `floor`.
struct TimeRatio {
  TimeRatio(std::string label, std::string measured, std::string floor);
};

// Counter `measured` over counter `floor`, both of benchmark `benchmark`.
struct CounterRatio {
  CounterRatio(std::string label, std::string benchmark, std::string measured, std::string floor);
};

}  // namespace zel_bench
