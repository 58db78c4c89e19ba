#pragma once

#include <string>
#include <vector>

#include <fmt/format.h>

#include "zel_driver/device.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {

// A simulated device, traced, with a handle open on it; the trace starts after the open.
struct OpenedSim {
  explicit OpenedSim(zel_sim::SimConfig config = {})
      : sim(with_trace(std::move(config))), device(Device::open("/dev/zel0", sim).value()) {
    sim.trace().clear();
  }

  // The register accesses since the open (or the last clear), one text each: "S 0x2000=0x402"
  // for a store, "L 0x2000" for a load.
  std::vector<std::string> accesses() const {
    std::vector<std::string> texts;
    for (const zel_sim::TraceRecord& r : sim.trace().accesses()) {
      texts.push_back(r.op == zel_sim::TraceOp::Store
                          ? fmt::format("S 0x{:x}=0x{:x}", *r.offset, *r.value)
                          : fmt::format("L 0x{:x}", *r.offset));
    }
    return texts;
  }

  zel_sim::SimDevice sim;
  Device device;

 private:
  static zel_sim::SimConfig with_trace(zel_sim::SimConfig config) {
    config.trace = true;
    return config;
  }
};

}  // namespace zel_driver
