#include "zel/fault_catalog.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include <fmt/format.h>

#include "zel_base/try.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/protocol/transport.hpp"
#include "zel_sim/request_names.hpp"
#include "zel_target/target.hpp"

namespace zel {
namespace {

using zel_sim::Faults;
using zel_sim::SimConfig;
using Fired = zel_sim::FaultFirings;
using Applied = std::expected<void, std::string>;

// Decimal, or hexadecimal after "0x".
std::optional<std::uint32_t> parse_number(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "A:B:C" into numbers; `defaults` fills what the text leaves out (all of it when absent).
[[nodiscard]] std::expected<std::vector<std::uint32_t>, std::string> parse_fields(
    std::optional<std::string_view> value, std::vector<std::uint32_t> defaults) {
  if (!value) return defaults;
  std::vector<std::uint32_t> fields;
  std::string_view rest = *value;
  for (;;) {
    const std::size_t colon = rest.find(':');
    auto number = parse_number(rest.substr(0, colon));
    if (!number) return std::unexpected(fmt::format("not a number in \"{}\"", *value));
    fields.push_back(*number);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (fields.size() > defaults.size()) {
    return std::unexpected(fmt::format("too many fields in \"{}\"", *value));
  }
  for (std::size_t i = fields.size(); i < defaults.size(); ++i) fields.push_back(defaults[i]);
  return fields;
}

// A tile the device has, or why not.
[[nodiscard]] Applied check_tile(std::uint32_t tile, const SimConfig& config) {
  if (tile < config.tile_count) return {};
  return std::unexpected(
      fmt::format("the device has no tile {} (tiles 0 to {})", tile, config.tile_count - 1));
}

// A word of tile memory, or why not.
[[nodiscard]] Applied check_word_address(std::uint32_t address) {
  const auto window = zel_target::Target(zel_target::Target::Zel21).tile_memory();
  if (address >= window.start && address < window.end && address % 4 == 0) return {};
  return std::unexpected(fmt::format("0x{:x} is not a word of tile memory (0x{:x}..0x{:x})",
                                     address, window.start, window.end));
}

// What a whole run does on inputs made for the device (a package for all of its tiles): the
// TDI instructions of its 75 word accesses, and the marks of its load (one per batch of 64
// tiles, the execute sentinel, the final mark). A switch meant to strike later never fires.
constexpr std::uint32_t RUN_TDI_INSTRUCTIONS = 525;
std::uint32_t run_marks(const SimConfig& config) {
  return config.tile_count / zel_sim::transport::BATCH_SLOTS + 2;
}

[[nodiscard]] Applied check_tdi_skip(std::uint32_t skip) {
  if (skip < RUN_TDI_INSTRUCTIONS) return {};
  return std::unexpected(fmt::format("a run executes {} TDI instructions (SKIP 0 to {})",
                                     RUN_TDI_INSTRUCTIONS, RUN_TDI_INSTRUCTIONS - 1));
}

[[nodiscard]] Applied check_errno(std::uint32_t error) {
  if (error == 0) return std::unexpected("the error number must be positive");
  return {};
}

// A switch that takes no value.
template <bool Faults::*flag>
[[nodiscard]] Applied switch_on(std::optional<std::string_view>, SimConfig&, Faults& faults) {
  faults.*flag = true;
  return {};
}

[[nodiscard]] Applied ioctl_fails(std::optional<std::string_view> value, SimConfig&,
                                  Faults& faults) {
  if (!value) return std::unexpected("needs the request's name");
  const std::size_t colon = value->find(':');
  const std::string_view name = value->substr(0, colon);
  int error = EIO;
  if (colon != std::string_view::npos) {
    ZEL_TRY_ASSIGN(const auto fields, parse_fields(value->substr(colon + 1), {EIO}));
    ZEL_TRY(check_errno(fields[0]));
    error = static_cast<int>(fields[0]);
  }
  const auto request = zel_sim::request_number(name);
  if (!request) return std::unexpected(fmt::format("unknown request \"{}\"", name));
  faults.ioctl_failures.push_back({*request, error});
  return {};
}

[[nodiscard]] Applied device_absent(std::optional<std::string_view>, SimConfig& config, Faults&) {
  config.node_path.reset();
  return {};
}

[[nodiscard]] Applied map_fails(std::optional<std::string_view> value, SimConfig&, Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {ENOMEM}));
  ZEL_TRY(check_errno(fields[0]));
  faults.map_error = static_cast<int>(fields[0]);
  return {};
}

[[nodiscard]] Applied transport_map_fails(std::optional<std::string_view> value, SimConfig&,
                                          Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {ENOMEM}));
  ZEL_TRY(check_errno(fields[0]));
  faults.host_buffer_map_error = static_cast<int>(fields[0]);
  return {};
}

[[nodiscard]] Applied mailbox_answer(std::optional<std::string_view> value, SimConfig&,
                                     Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0x4079020e}));
  faults.mailbox_response = zel_sim::icu::Message{fields[0], 0, 0, 0, 0};
  return {};
}

[[nodiscard]] Applied marks_kept_from(std::optional<std::string_view> value, SimConfig& config,
                                      Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {1}));
  if (fields[0] == 0) return std::unexpected("marks count from 1");
  if (fields[0] > run_marks(config)) {
    return std::unexpected(
        fmt::format("a load on {} tiles sets {} marks", config.tile_count, run_marks(config)));
  }
  faults.hsp_marks_kept_from = fields[0];
  return {};
}

[[nodiscard]] Applied sync_register_stuck(std::optional<std::string_view> value, SimConfig&,
                                          Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {zel_sim::reg::HSP_SYNC_CONTROL_0, 1}));
  if (fields[0] != zel_sim::reg::HSP_SYNC_CONTROL_0 &&
      fields[0] != zel_sim::reg::HSP_SYNC_CONTROL_1) {
    return std::unexpected(
        fmt::format("0x{:x} is not a host sync register (0x302c, 0x3030)", fields[0]));
  }
  if (fields[1] == 0) return std::unexpected("a register that reads 0 did clear");
  faults.hsp_register_not_clearing = zel_sim::StuckRegister{fields[0], fields[1]};
  return {};
}

[[nodiscard]] Applied word_survives_reset(std::optional<std::string_view> value, SimConfig& config,
                                          Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {735, 0x80000}));
  ZEL_TRY(check_tile(fields[0], config));
  ZEL_TRY(check_word_address(fields[1]));
  faults.tile_words_surviving_reset.push_back({fields[0], fields[1]});
  return {};
}

[[nodiscard]] Applied poison_does_not_stick(std::optional<std::string_view> value,
                                            SimConfig& config, Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0, 0x4c000, 1}));
  ZEL_TRY(check_tile(fields[0], config));
  ZEL_TRY(check_word_address(fields[1]));
  if (fields[2] == 0) return std::unexpected("a mask of 0 changes nothing");
  faults.corrupted_stores.push_back({fields[0], fields[1], fields[2]});
  return {};
}

[[nodiscard]] Applied tdi_fails(std::optional<std::string_view> value, SimConfig&, Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0, 0x4}));
  ZEL_TRY(check_tdi_skip(fields[0]));
  faults.tdi_failure = zel_sim::TdiFailure{fields[0], fields[1]};
  return {};
}

[[nodiscard]] Applied tdi_stuck(std::optional<std::string_view> value, SimConfig&, Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0}));
  ZEL_TRY(check_tdi_skip(fields[0]));
  faults.tdi_stuck = zel_sim::TdiStuck{fields[0]};
  return {};
}

[[nodiscard]] Applied tdi_slow(std::optional<std::string_view> value, SimConfig&, Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {3}));
  if (fields[0] == 0) return std::unexpected("0 busy reads change nothing");
  faults.tdi_busy_status_reads = fields[0];
  return {};
}

[[nodiscard]] Applied context_state(std::optional<std::string_view> value, SimConfig& config,
                                    Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0, 1, 1}));
  ZEL_TRY(check_tile(fields[0], config));
  if (fields[1] > 6 || fields[2] > 3) return std::unexpected("context 0-6, state 0-3");
  faults.forced_context_states.push_back({fields[0], fields[1], fields[2]});
  return {};
}

[[nodiscard]] Applied batch_unacknowledged(std::optional<std::string_view> value, SimConfig& config,
                                           Faults& faults) {
  ZEL_TRY_ASSIGN(const auto fields, parse_fields(value, {0}));
  // A load sends one batch of 64 tiles at a time, and no more tiles than the device has.
  if (const std::uint32_t batches = config.tile_count / zel_sim::transport::BATCH_SLOTS;
      fields[0] >= batches) {
    return std::unexpected(
        fmt::format("a load on {} tiles sends {} batches", config.tile_count, batches));
  }
  faults.bootloader_batch_unacknowledged = fields[0];
  return {};
}

constexpr FaultSwitch CATALOG[] = {
    {"device-absent", "", "no device node: opening /dev/zel0 fails with ENOENT", device_absent,
     &Fired::node_absent},
    {"ioctl-fails", "REQUEST[:ERRNO]",
     "a kernel request fails (default errno EIO); REQUEST is attach, set-id, mailbox, "
     "stop-monitoring, start-monitoring, accumulate-errors, notify-reset, set-secondary-id, "
     "attach-buffer or detach-buffer",
     ioctl_fails, &Fired::ioctl_failures},
    {"map-fails", "[ERRNO]", "mapping the configuration space fails (default ENOMEM)", map_fails,
     &Fired::map_error},
    {"transport-map-fails", "[ERRNO]",
     "mapping host memory for the loader's transport fails (default ENOMEM)", transport_map_fails,
     &Fired::host_buffer_map_error},
    {"mailbox-answer", "[WORD0]",
     "the ICU answers the reset request with this word 0 (default "
     "0x4079020e)",
     mailbox_answer, &Fired::mailbox_response},
    {"mailbox-untouched", "", "the kernel leaves the mailbox response unwritten",
     switch_on<&Faults::mailbox_response_untouched>, &Fired::mailbox_response_untouched},
    {"marks-kept-from", "[K]",
     "the device never clears the K-th host sync mark nor any later "
     "one (default 1)",
     marks_kept_from, &Fired::hsp_marks_kept_from},
    {"sync-register-stuck", "[OFFSET[:VALUE]]",
     "a host sync register reads VALUE after 0 is "
     "written (default 0x302c:1)",
     sync_register_stuck, &Fired::hsp_register_not_clearing},
    {"autoloader-stuck", "", "the autoloader's busy bit never clears",
     switch_on<&Faults::autoloader_busy_forever>, &Fired::autoloader_busy_forever},
    {"word-survives-reset", "[TILE[:ADDRESS]]",
     "a tile word keeps its value across the "
     "autoloader's reset (default 735:0x80000)",
     word_survives_reset, &Fired::tile_words_surviving_reset},
    {"poison-does-not-stick", "[TILE[:ADDRESS[:MASK]]]",
     "a store to that word writes the value "
     "XOR MASK (default 0:0x4c000:1)",
     poison_does_not_stick, &Fired::corrupted_stores},
    {"tdi-fails", "[SKIP[:STATUS]]",
     "the TDI instruction after SKIP more completes with STATUS "
     "(default 0:0x4)",
     tdi_fails, &Fired::tdi_failure},
    {"tdi-stuck", "[SKIP]", "the TDI instruction after SKIP more stays busy (default 0)", tdi_stuck,
     &Fired::tdi_stuck},
    {"tdi-slow", "[READS]", "every TDI instruction shows busy for READS status reads (default 3)",
     tdi_slow, &Fired::tdi_busy_status_reads},
    {"contexts-never-stop", "", "running contexts ignore their run-break bits",
     switch_on<&Faults::contexts_never_stop>, &Fired::contexts_never_stop},
    {"context-state", "[TILE[:CONTEXT[:STATE]]]",
     "a context shows this state whatever it does "
     "(default 0:1:1, the worker running)",
     context_state, &Fired::forced_context_states},
    {"batch-unacknowledged", "[BATCH]",
     "the tile bootloader never acknowledges this loader batch "
     "(default 0)",
     batch_unacknowledged, &Fired::bootloader_batch_unacknowledged},
    {"sentinel-unacknowledged", "", "the tile bootloader never acknowledges the execute sentinel",
     switch_on<&Faults::bootloader_sentinel_unacknowledged>,
     &Fired::bootloader_sentinel_unacknowledged},
    {"final-mark-unacknowledged", "", "the application never reaches its initial synchronization",
     switch_on<&Faults::bootloader_final_mark_unacknowledged>,
     &Fired::bootloader_final_mark_unacknowledged},
};

}  // namespace

std::span<const FaultSwitch> fault_catalog() { return CATALOG; }

const FaultSwitch& switch_named(std::string_view fault) {
  const std::string_view name = fault.substr(0, fault.find('='));
  return *std::ranges::find(CATALOG, name, &FaultSwitch::name);
}

std::vector<FaultFiring> fault_firings(std::span<const std::string> faults,
                                       const zel_sim::FaultFirings& firings) {
  std::vector<FaultFiring> fared;
  for (const std::string& fault : faults)
    fared.push_back({fault, firings.*switch_named(fault).fired});
  return fared;
}

[[nodiscard]] std::expected<void, std::string> apply_fault(std::string_view text, SimConfig& config,
                                                           Faults& faults) {
  const std::size_t equals = text.find('=');
  const std::string_view name = text.substr(0, equals);
  std::optional<std::string_view> value;
  if (equals != std::string_view::npos) value = text.substr(equals + 1);
  for (const FaultSwitch& fault : CATALOG) {
    if (fault.name != name) continue;
    if (value && fault.value.empty()) return std::unexpected("takes no value");
    return fault.apply(value, config, faults);
  }
  return std::unexpected("no such fault (zel faults lists them)");
}

}  // namespace zel
