#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "trace_reader.hpp"

namespace zel {

// One thing the host did, as traces are compared: a request (its name and argument fields),
// a store (offset and value) or a load (its offset; with values, the value it read too). A run
// of loads of one offset is one event, since polling loops differ between devices; with values
// it is the last value read, the one the host acted on. `line` is where it starts in its trace;
// `word` names the tile-memory word a load of a tile's debug data brought back, when it did.
struct HostEvent {
  std::string text;
  std::size_t line = 0;
  std::string word;
  bool operator==(const HostEvent& other) const { return text == other.text; }
};

// What a comparison looks at besides the host's calls.
struct CompareOptions {
  // The values loaded in the phases that read tile memory (poison and readback): a board
  // whose words read back otherwise than the simulated device's parts from it there.
  bool values = false;
  std::size_t context = 3;  // events shown around a divergence
};

// Reads the host events of a trace one at a time, holding one line at most.
class HostEventReader {
 public:
  HostEventReader(std::istream& trace, bool values) : reader_(trace), values_(values) {}
  // The next event; none at the end; the reason when a line is not a trace line.
  [[nodiscard]] std::expected<std::optional<HostEvent>, std::string> next();

 private:
  [[nodiscard]] std::expected<std::optional<HostEvent>, std::string> read_event();
  std::optional<HostEvent> event_of(const TraceLine& line);

  TraceReader reader_;
  bool values_;
  bool values_phase_ = false;         // in a phase whose loaded values count
  std::optional<HostEvent> pending_;  // read ahead while a run of loads was collapsed
  // Per tile: what the host put in its debug data register, the address in M register 1, and
  // whether a word was loaded from there into M register 0 and then into the data register.
  struct TileWords {
    std::uint32_t data = 0;
    std::optional<std::uint32_t> address;
    bool word_in_m0 = false, word_in_data = false;
  };
  std::map<std::uint32_t, TileWords> tiles_;
};

// Where two traces part: the matching events just before (up to `context`), and the events
// of each side from the divergence on (up to `context` + 1; fewer when a trace ends).
struct Divergence {
  std::size_t matching = 0;  // events alike before the divergence
  std::deque<HostEvent> before;
  std::vector<HostEvent> first, second;
};

// None when the two traces show the same host events.
[[nodiscard]] std::expected<std::optional<Divergence>, std::string> compare_traces(
    std::istream& first, std::istream& second, const CompareOptions& options = {});

}  // namespace zel
