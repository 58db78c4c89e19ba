#pragma once

#include <cstddef>
#include <expected>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zel {

// One line of a trace written by `zel run --trace`: where it is and what it says.
struct TraceLine {
  std::size_t number = 0;  // from 1
  std::string op;
  nlohmann::json object;
};

// Reads a trace one line at a time, holding one line at most, each line no longer than
// `MAX_LINE_BYTES`. Refuses, with the line's number, what is not a trace: a line too long, one
// that is not a JSON object with "t_ns" and a known "op", and a trace with no line at all.
class TraceReader {
 public:
  static constexpr std::size_t MAX_LINE_BYTES = 1 << 20;

  explicit TraceReader(std::istream& trace) : trace_(trace) {}

  // The next line; none at the end of the trace; the reason when it is not a trace line.
  [[nodiscard]] std::expected<std::optional<TraceLine>, std::string> next();

 private:
  [[nodiscard]] std::expected<std::string_view, std::string> read_line();
  [[nodiscard]] std::expected<std::optional<TraceLine>, std::string> end() const;

  std::istream& trace_;
  std::size_t line_ = 0;
  std::string buffer_;
};

}  // namespace zel
