// Replays the input as a configuration image on a simulated device just powered up and holds
// the register traffic to what the image asks for, worked out here independently of the driver.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "fuzz_check.hpp"
#include "zel_driver/device.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using zel_fuzz::check;

constexpr char MAGIC[8] = {'Z', 'E', 'L', 'C', 'F', 'G', '1', '\0'};
constexpr std::uint32_t CCSR = 0x2000;
constexpr std::uint32_t HSP_SYNC_CONTROL_0 = 0x302c;
constexpr std::uint32_t HSP_SYNC_CONTROL_1 = 0x3030;
constexpr std::uint32_t LAST_OFFSET = 0x7fffc;

// One register access as the trace shows it; loads carry no value here, since what the
// device answers is its own business.
struct Access {
  bool store;
  std::uint32_t offset;
  std::uint32_t value;
  bool operator==(const Access&) const = default;
};

// What replaying the image must give: the error's debug form (none for success) and every
// register access, in order.
struct Replay {
  std::optional<std::string> error;
  std::vector<Access> accesses;
};

std::uint32_t le32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

Replay expected_replay(std::span<const std::uint8_t> image) {
  if (image.size() < 12 || std::memcmp(image.data(), MAGIC, sizeof MAGIC) != 0) {
    return {R"(Invalid("bad configuration image"))", {}};
  }
  const std::uint64_t count = le32(image.data() + 8);
  if (image.size() != 12 + 8 * count) return {R"(Invalid("bad configuration image size"))", {}};
  Replay replay;
  for (std::size_t at = 12; at < image.size(); at += 8) {
    const std::uint32_t offset = le32(image.data() + at);
    const std::uint32_t value = le32(image.data() + at + 4);
    if (offset == HSP_SYNC_CONTROL_0 || offset == HSP_SYNC_CONTROL_1) continue;
    if (offset % 4 != 0 || offset > LAST_OFFSET) {
      replay.error = fmt::format(R"(Invalid("configuration offset 0x{:x}"))", offset);
      return replay;
    }
    replay.accesses.push_back({true, offset, value});
    replay.accesses.push_back({false, CCSR, 0});
  }
  for (const std::uint32_t reg : {HSP_SYNC_CONTROL_0, HSP_SYNC_CONTROL_1}) {
    replay.accesses.push_back({true, reg, 0});
    replay.accesses.push_back({false, reg, 0});
  }
  return replay;
}

std::vector<Access> observed_accesses(const zel_sim::SimDevice& sim) {
  std::vector<Access> accesses;
  for (const zel_sim::TraceRecord& record : sim.trace().accesses()) {
    const bool store = record.op == zel_sim::TraceOp::Store;
    accesses.push_back(
        {store, *record.offset, store ? static_cast<std::uint32_t>(*record.value) : 0});
  }
  return accesses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  // One device, as new for every input: what one image leaves in the registers must not change
  // how the next one replays, or a finding could not be reproduced from its input alone.
  // Making a new device costs more than most replays.
  static zel_sim::SimDevice sim({.trace = true});
  {
    auto device = zel_driver::Device::open("/dev/zel0", sim);
    check(device.has_value(), "the simulated device opens");
    sim.trace().clear();

    const auto replayed = device->replay_configuration(std::as_bytes(input));
    const Replay expected = expected_replay(input);
    check(replayed.has_value() == !expected.error, "the image replays exactly when it is sound");
    if (!replayed) check(replayed.error().debug() == *expected.error, "the error names the fault");
    check(observed_accesses(sim) == expected.accesses,
          "each record is one write and one CCSR read, in order, host sync writes skipped");
  }
  check(sim.open_descriptors() == 0 && sim.live_mappings() == 0, "the handle releases the device");
  // As the input ends rather than as the next one begins: what the replay left allocated is
  // freed within the input, where libFuzzer would otherwise suspect a leak and run it again.
  sim.power_up();
  return 0;
}
