#pragma once

#include <cstddef>
#include <deque>
#include <expected>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "tile_word_reads.hpp"
#include "zel_driver/trace_reader.hpp"

namespace zel {

// One thing the host did, as traces are compared: a request (what it asked), a store (offset
// and value) or a load (its offset; a run of loads of one offset is one event, since polling
// loops differ between devices). `line` is where it starts in its trace. A load compared by
// value has the value its run of loads ended with, and `reads` says what it read.
struct HostEvent {
  std::string text;
  std::uint64_t line = 0;
  std::string reads;  // "tile 735 address 0x80000", for a load compared by value
  std::optional<std::uint32_t> value;
  bool operator==(const HostEvent& other) const {
    return text == other.text && value == other.value;
  }
};

struct DiffSettings {
  // Also compare the values loaded in the poison and readback phases: what the check read.
  bool values = false;
  std::size_t context = 3;  // events shown before and after the divergence
};

// Reads the host events of a trace one at a time (zel_driver::TraceReader: bounded, and
// refusing what is not a trace at its line; traces of zel 0.5 and before too).
class HostEventReader {
 public:
  [[nodiscard]] static std::expected<HostEventReader, zel_driver::TraceError> open(
      std::istream& trace, bool values);
  // The next event; none at the end.
  [[nodiscard]] std::expected<std::optional<HostEvent>, zel_driver::TraceError> next();

 private:
  HostEventReader(zel_driver::TraceReader reader, bool values)
      : reader_(std::move(reader)), values_(values) {}
  [[nodiscard]] std::expected<std::optional<HostEvent>, zel_driver::TraceError> read_event();

  zel_driver::TraceReader reader_;
  bool values_;
  bool value_phase_ = false;  // in a phase whose loaded values are compared
  TileWordReads words_;
  std::optional<HostEvent> pending_;  // read ahead while a run of loads was collapsed
};

// Where two traces part: the matching events just before (up to `context`), and the events
// of each side from the divergence on (up to `context` + 1; fewer when a trace ends).
struct Divergence {
  std::size_t matching = 0;  // events alike before the divergence
  std::deque<HostEvent> before;
  std::vector<HostEvent> first, second;
};

// Why the traces could not be compared: which of the two, and the line.
struct DiffError {
  bool second = false;
  zel_driver::TraceError error;
};

// None when the two traces show the same host events.
[[nodiscard]] std::expected<std::optional<Divergence>, DiffError> compare_traces(
    std::istream& first, std::istream& second, DiffSettings settings = {});

}  // namespace zel
