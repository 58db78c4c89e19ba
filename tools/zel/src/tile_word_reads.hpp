#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "zel_driver/trace_format.hpp"

namespace zel {

// Follows a trace's register traffic to tell what a load of a tile's debug window read: the
// stack reads a tile-memory word by writing its address to the debug data register, copying
// that into M register 1, executing the load-word instruction and copying M register 0 back
// into the data register, which it then loads.
class TileWordReads {
 public:
  // Takes in one host call, in trace order.
  void saw(const zel_driver::TracedCall& call);
  // What a load at `offset` reads, for people: "tile 735 address 0x80000" for a tile-memory
  // word read so, "tile 735 register 8" for another register of a debug window, otherwise
  // "offset 0x2000".
  std::string what_loads(std::uint32_t offset) const;

 private:
  struct Tile {
    std::uint32_t data = 0;                // last written to the data register
    std::optional<std::uint32_t> m1;       // what M register 1 was given from it
    std::optional<std::uint32_t> word_at;  // the data register holds the word read from here
  };
  std::unordered_map<std::uint32_t, Tile> tiles_;
};

}  // namespace zel
