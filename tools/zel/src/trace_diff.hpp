#pragma once

#include <cstddef>
#include <deque>
#include <expected>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace zel {

// One thing the host did, as traces are compared: a request (its name and argument fields),
// a store (offset and value) or a load (its offset only; a run of loads of one offset is one
// event, since polling loops differ between devices). `line` is where it starts in its trace.
struct HostEvent {
  std::string text;
  std::size_t line = 0;
  bool operator==(const HostEvent& other) const { return text == other.text; }
};

// Reads the host events of a trace one at a time, holding one line at most.
class HostEventReader {
 public:
  explicit HostEventReader(std::istream& trace) : trace_(trace) {}
  // The next event; none at the end; the reason when a line is not a trace line.
  std::expected<std::optional<HostEvent>, std::string> next();

 private:
  std::expected<std::optional<HostEvent>, std::string> read_line();

  std::istream& trace_;
  std::size_t line_ = 0;
  std::optional<HostEvent> pending_;  // read ahead while a run of loads was collapsed
};

// Where two traces part: the matching events just before (up to `context`), and the events
// of each side from the divergence on (up to `context` + 1; fewer when a trace ends).
struct Divergence {
  std::size_t matching = 0;  // events alike before the divergence
  std::deque<HostEvent> before;
  std::vector<HostEvent> first, second;
};

// None when the two traces show the same host events.
std::expected<std::optional<Divergence>, std::string> compare_traces(std::istream& first,
                                                                     std::istream& second,
                                                                     std::size_t context = 3);

}  // namespace zel
