#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace zel_target {

// A half-open range of 32-bit tile-memory byte addresses: [start, end).
struct AddressRange {
  std::uint32_t start;
  std::uint32_t end;

  constexpr bool contains(std::uint32_t address) const { return address >= start && address < end; }
  constexpr std::uint32_t size() const { return end - start; }
  constexpr bool operator==(const AddressRange&) const = default;
};

// A device target an application package may be built for. Exactly one exists.
class Target {
 public:
  enum Value : std::uint8_t { Zel21 };

  constexpr Target(Value value) : value_(value) {}

  // Exact, byte-for-byte match of the target's name ("zel21"); no trimming, no case folding.
  // The error is a fixed text that carries nothing of the rejected input.
  [[nodiscard]] static std::expected<Target, std::string_view> from_str(std::string_view name);

  // Where tile memory lies in a tile's address space.
  constexpr AddressRange tile_memory() const {
    switch (value_) {
      case Zel21:
        return {0x4c000, 0xe8000};
    }
    return {0, 0};
  }

  constexpr Value value() const { return value_; }
  constexpr bool operator==(const Target&) const = default;

 private:
  Value value_;
};

}  // namespace zel_target
