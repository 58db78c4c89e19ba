#include "trace_diff.hpp"

#include <charconv>

#include <fmt/format.h>

#include "zel_driver/loader.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"

namespace zel {
namespace {

using nlohmann::json;

// The fields of a line that say what the host asked; times, results and what the kernel
// answered are left out, since they differ between devices.
bool compared_field(const std::string& key) {
  return key != "t_ns" && key != "op" && key != "request" && key != "number" && key != "result" &&
         key != "errno" && key != "received";
}

std::string request_text(const json& object) {
  std::string text = fmt::format("ioctl {}", object.value("request", "unknown"));
  for (const auto& [key, value] : object.items()) {
    if (compared_field(key)) text += fmt::format(" {}={}", key, value.dump());
  }
  return text;
}

std::string field(const json& object, const char* name) {
  return object.contains(name) ? object[name].dump() : std::string("?");
}

std::optional<std::uint32_t> hex_field(const json& object, const char* name) {
  if (!object.contains(name) || !object[name].is_string()) return std::nullopt;
  const std::string& text = object[name].get_ref<const std::string&>();
  std::uint32_t value = 0;
  if (!text.starts_with("0x")) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The tile and debug register of a configuration offset in the tile debug window.
struct TileRegister {
  std::uint32_t tile;
  std::uint32_t reg;
};
std::optional<TileRegister> tile_register(std::optional<std::uint32_t> offset) {
  using zel_driver::TILE_DEBUG_BASE, zel_driver::TILE_DEBUG_STRIDE;
  if (!offset || *offset < TILE_DEBUG_BASE || *offset % 4 != 0) return std::nullopt;
  const std::uint32_t from_base = *offset - TILE_DEBUG_BASE;
  if (from_base / TILE_DEBUG_STRIDE >= zel_driver::LOADER_LARGEST_TILE_COUNT) return std::nullopt;
  return TileRegister{from_base / TILE_DEBUG_STRIDE, from_base % TILE_DEBUG_STRIDE / 4};
}

bool is_load(const HostEvent& event) { return event.text.starts_with("load "); }

// Two loads of one offset, whatever they read.
bool same_load(const HostEvent& a, const HostEvent& b) {
  const auto offset_end = [](const std::string& text) { return text.find(' ', 5); };
  return is_load(a) && is_load(b) &&
         std::string_view(a.text).substr(0, offset_end(a.text)) ==
             std::string_view(b.text).substr(0, offset_end(b.text));
}

}  // namespace

// Follows what the host does to read a tile-memory word through a context: the address put in
// M register 1 through the debug data register, the load-word instruction, M register 0 put
// back in the data register, and the load of that register that brings the word.
std::optional<HostEvent> HostEventReader::event_of(const TraceLine& line) {
  namespace tdi = zel_driver::tdi_instruction;
  const json& object = line.object;
  if (line.op == "phase") {
    const std::string name = object.value("name", "");
    values_phase_ = values_ && (name == "poison" || name == "readback");
    return std::nullopt;
  }
  if (line.op == "ioctl") return HostEvent{request_text(object), line.number, {}};
  const auto at = tile_register(hex_field(object, "offset"));
  const auto value = hex_field(object, "value");
  if (line.op == "store") {
    if (at && value) {
      TileWords& tile = tiles_[at->tile];
      if (at->reg == zel_driver::TILE_DEBUG_DATA) tile.data = *value;
      if (at->reg == zel_driver::TILE_DEBUG_INSTRUCTION) {
        if (*value == tdi::get_debug_data_m(1)) tile.address = tile.data;
        if (*value == tdi::get_debug_data_m(0) || *value == tdi::get_debug_data_m(1)) {
          tile.word_in_m0 = false;
        }
        if (*value == tdi::TDI_LOAD_WORD) tile.word_in_m0 = tile.address.has_value();
        if (*value == tdi::put_debug_data_m(0)) tile.word_in_data = tile.word_in_m0;
      }
    }
    return HostEvent{fmt::format("store {} {}", field(object, "offset"), field(object, "value")),
                     line.number,
                     {}};
  }
  if (line.op == "load") {
    HostEvent event{fmt::format("load {}", field(object, "offset")), line.number, {}};
    if (at && at->reg == zel_driver::TILE_DEBUG_DATA) {
      TileWords& tile = tiles_[at->tile];
      if (tile.word_in_data) {
        event.word = fmt::format("tile {} address 0x{:x}", at->tile, *tile.address);
      }
      tile.word_in_data = false;
    }
    if (values_phase_) event.text += fmt::format(" {}", field(object, "value"));
    return event;
  }
  return std::nullopt;  // opens, maps and the like are the kernel's, not the device's
}

std::expected<std::optional<HostEvent>, std::string> HostEventReader::read_event() {
  for (;;) {
    auto line = reader_.next();
    if (!line) return std::unexpected(line.error());
    if (!*line) return std::nullopt;
    if (auto event = event_of(**line)) return event;
  }
}

std::expected<std::optional<HostEvent>, std::string> HostEventReader::next() {
  std::optional<HostEvent> event = std::exchange(pending_, std::nullopt);
  if (!event) {
    auto read = read_event();
    if (!read || !*read) return read;
    event = std::move(**read);
  }
  if (!is_load(*event)) return event;
  for (;;) {
    auto read = read_event();
    if (!read) return read;
    if (!*read || !same_load(**read, *event)) {
      pending_ = std::move(*read);
      return event;
    }
    // A poll: the last value read is the one the host acted on.
    event->text = std::move((*read)->text);
    event->word = std::move((*read)->word);
  }
}

[[nodiscard]] std::expected<std::optional<Divergence>, std::string> compare_traces(
    std::istream& first, std::istream& second, const CompareOptions& options) {
  HostEventReader a(first, options.values), b(second, options.values);
  Divergence divergence;
  for (;;) {
    auto from_a = a.next();
    if (!from_a) return std::unexpected("A: " + from_a.error());
    auto from_b = b.next();
    if (!from_b) return std::unexpected("B: " + from_b.error());
    if (!*from_a && !*from_b) return std::nullopt;
    if (*from_a && *from_b && **from_a == **from_b) {
      ++divergence.matching;
      divergence.before.push_back(std::move(**from_a));
      if (divergence.before.size() > options.context) divergence.before.pop_front();
      continue;
    }
    // Parted: a few events of each side from here on.
    for (auto [reader, side, event] : {std::tuple{&a, &divergence.first, std::move(*from_a)},
                                       std::tuple{&b, &divergence.second, std::move(*from_b)}}) {
      while (event && side->size() <= options.context) {
        side->push_back(std::move(*event));
        auto more = reader->next();
        if (!more) break;  // the divergence stands; what follows a bad line is not shown
        event = std::move(*more);
      }
    }
    return divergence;
  }
}

}  // namespace zel
