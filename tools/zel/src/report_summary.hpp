#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report_reading.hpp"

namespace zel {

// Reset times of a device's runs, in nanoseconds; the 99th percentile by nearest rank.
struct ResetTimes {
  std::uint64_t min = 0, median = 0, p99 = 0, max = 0;
};

// The runs of one device: a host and the device's identity there. Runs with faults injected
// are a device of their own, never mixed into what the board did by itself.
struct DeviceSummary {
  std::string host, device;
  bool injected = false;
  std::uint64_t runs = 0, passes = 0;
  std::map<std::string, std::uint64_t, std::less<>> failures;  // by result other than pass
  std::optional<ResetTimes> reset;
  std::optional<double> last_started;      // seconds since 1970
  std::vector<const RunRecord*> in_order;  // by start time, then sequence

  std::string label() const;  // "host device", "(faults injected)" after it when so
  std::uint64_t count(std::string_view result) const;  // runs that ended so (RUN_RESULTS)
};

// Runs that failed alike, and the devices they failed on.
struct FailureGroup {
  std::string what;
  std::uint64_t runs = 0;
  std::vector<std::string> devices;  // labels, in the order first met
};

struct Summary {
  std::uint64_t runs = 0, passes = 0;
  std::uint64_t injected_runs = 0;     // of `runs`, those with faults injected
  std::vector<DeviceSummary> devices;  // by host, device, then injected last
  std::vector<FailureGroup> by_error;  // the error line or the check failure's first line
  std::vector<FailureGroup> by_word;   // "tile 735 address 0x80000"
};

// `text` as it stands when it is plain (printable ASCII without spaces or quotes), quoted and
// escaped as error texts are otherwise.
std::string shown(const std::string& text);

// `runs` must outlive the summary: the devices point at them.
Summary summarize(std::span<const RunRecord> runs);

// "100 runs on 4 devices of 1 host: 75 passed, 25 did not; 25 with faults injected"
std::string totals_line(const Summary& summary);

// The per-device table: runs, passes, each failure kind, reset time min/median/p99/max.
void print_device_table(const Summary& summary, std::ostream& out);

// The table, then the failures grouped by error line and by failing word.
void print_summary(const Summary& summary, std::ostream& out);

}  // namespace zel
