#include "trace_reader.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include <fmt/format.h>

#include "zel_base/error.hpp"

namespace zel {
namespace {

// Every op a trace line may have.
constexpr std::array<std::string_view, 11> OPS = {
    "phase", "open",  "close", "lock",  "map",     "map-anonymous",
    "unmap", "ioctl", "load",  "store", "barrier",
};

}  // namespace

std::expected<std::optional<TraceLine>, std::string> TraceReader::end() const {
  if (line_ == 0) return std::unexpected(std::string("the trace is empty"));
  return std::nullopt;
}

std::expected<std::string_view, std::string> TraceReader::read_line() {
  // Room for one byte more than a line may hold, and getline's terminating zero.
  buffer_.resize(MAX_LINE_BYTES + 2);
  trace_.getline(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  const auto got = static_cast<std::size_t>(trace_.gcount());
  if (trace_.bad()) return std::unexpected(fmt::format("read failed after line {}", line_));
  if (trace_.fail() && !trace_.eof()) {
    if (got == 0) return std::string_view();  // nothing more to read
    return std::unexpected(
        fmt::format("line {} is longer than {} bytes", line_ + 1, MAX_LINE_BYTES));
  }
  // The newline was taken out and counted; a last line without one still counts.
  const std::size_t length = trace_.eof() ? got : got - 1;
  trace_.clear(trace_.rdstate() & ~std::ios::failbit);
  return std::string_view(buffer_.data(), length);
}

std::expected<std::optional<TraceLine>, std::string> TraceReader::next() {
  if (trace_.eof()) return end();
  const auto text = read_line();
  if (!text) return std::unexpected(text.error());
  if (text->empty() && trace_.eof()) return end();
  ++line_;
  TraceLine line{.number = line_, .op = {}, .object = nlohmann::json::parse(*text, nullptr, false)};
  const auto& object = line.object;
  if (object.is_discarded() || !object.is_object() || !object.contains("t_ns") ||
      !object["t_ns"].is_number_unsigned() || !object.contains("op") || !object["op"].is_string()) {
    return std::unexpected(fmt::format("line {} is not a trace line", line_));
  }
  line.op = object["op"];
  // The ops any reader knows; a trace of another version would be misread, not merely odd.
  if (std::ranges::find(OPS, line.op) == OPS.end()) {
    return std::unexpected(
        fmt::format("line {} has an unknown op {}", line_, zel_base::debug_quote(line.op)));
  }
  return line;
}

}  // namespace zel
