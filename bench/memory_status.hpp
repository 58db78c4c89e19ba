#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace zel_bench {

// A line of /proc/self/status in kB ("VmRSS", "VmHWM").
inline std::int64_t status_kilobytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
  }
  return -1;
}

// Resets the process's peak resident size (VmHWM) to its current size.
inline void reset_peak_memory() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace zel_bench
