// The application loader against the plain memory work it cannot avoid. Run:
// build/release/bench/zel_device_bench (or scripts/bench)

#include <malloc.h>

#include <benchmark/benchmark.h>

#include "idle_load.hpp"
#include "memory_status.hpp"
#include "ratios.hpp"

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "zel_driver/loader.hpp"
#include "zel_driver/transport.hpp"
#include "zel_driver/transport_frames.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_package/application.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using namespace zel_bench;

// Framing every tile in place, batch by batch into one reused buffer, as the loader does.
void BM_FrameIdlePackage(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  std::vector<std::byte> batch(idle.largest_batch_bytes);
  for (auto _ : state) {
    for (std::size_t first = 0; first < TILE_COUNT; first += BATCH_SLOTS) {
      std::size_t cursor = 0;
      for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) {
        const auto& image = idle.images[first + slot];
        const std::size_t bytes = zel_driver::frame_count(image.size()) * FRAME_BYTES;
        auto framed = zel_driver::frame_tile_into(idle.app.tiles[first + slot].physical_tile, image,
                                                  std::span(batch).subspan(cursor, bytes));
        if (!framed) state.SkipWithError(framed.error().display().c_str());
        cursor += bytes;
      }
      benchmark::DoNotOptimize(batch.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * idle.framed_bytes));
}
BENCHMARK(BM_FrameIdlePackage)->Unit(benchmark::kMillisecond);

void BM_CopyFramedIdlePackage(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  std::vector<std::byte> batch(idle.largest_batch_bytes);
  for (auto _ : state) copy_framed_bytes(idle, batch);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * idle.framed_bytes));
}
BENCHMARK(BM_CopyFramedIdlePackage)->Unit(benchmark::kMillisecond);

struct LoadRig {
  TimedSim backend;
  zel_driver::Device device = zel_driver::Device::open("/dev/zel0", backend).value();
  zel_driver::Loader loader =
      zel_driver::Loader::create(device, zel_fixtures::bootloader_elf(1000).value()).value();
};

// A whole 1472-tile load on the simulated device. host_ms is the wall time less the time
// inside the simulated device; copy_ms, measured in the same iteration, copies the framed
// bytes once, and floor_ms adds to that what the loader is asked to do besides: make the
// transport buffer and fill it with the sentinel.
void BM_LoadIdlePackageOnSim(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  LoadRig rig;
  std::vector<std::byte> batch(idle.largest_batch_bytes);
  double host = 0, device = 0, copy = 0, floor = 0;
  for (auto _ : state) {
    rig.backend.inside = {};
    const auto start = Clock::now();
    auto loaded = rig.loader.load(idle.app, 23);
    const auto wall = Clock::now() - start;
    if (!loaded) state.SkipWithError(loaded.error().display().c_str());
    host += milliseconds(wall - rig.backend.inside);
    device += milliseconds(rig.backend.inside);

    state.PauseTiming();
    const auto copied = Clock::now();
    copy_framed_bytes(idle, batch);
    copy += milliseconds(Clock::now() - copied);
    floor += load_floor_ms(idle, batch);
    state.ResumeTiming();
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["host_ms"] = host / n;
  state.counters["sim_ms"] = device / n;
  state.counters["copy_ms"] = copy / n;
  state.counters["floor_ms"] = floor / n;
  // The host's work on the tile images alone: framing, copying and clearing batches, without
  // making the transport and filling it with the sentinel (both counted in floor_ms).
  state.counters["batches_ms"] = (host - (floor - copy)) / n;
}
BENCHMARK(BM_LoadIdlePackageOnSim)->Unit(benchmark::kMillisecond);

// Peak resident memory of a load beyond what was held before it (the package, and the
// simulated device's tile memory from an earlier load, which the new one replaces page for
// page), against the transport plus one framed tile image.
void BM_LoadPeakMemory(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  LoadRig rig;
  if (!rig.loader.load(idle.app, 23)) state.SkipWithError("first load failed");
  for (auto _ : state) {
    ::malloc_trim(0);
    zel_bench::reset_peak_memory();
    const std::int64_t before = zel_bench::status_kilobytes("VmRSS");
    auto loaded = rig.loader.load(idle.app, 23);
    const std::int64_t peak = zel_bench::status_kilobytes("VmHWM");
    if (!loaded) state.SkipWithError(loaded.error().display().c_str());
    state.counters["peak_MB"] = static_cast<double>(peak - before) / 1024;
    state.counters["limit_MB"] =
        static_cast<double>(zel_driver::TRANSPORT_BYTES + idle.framed.front().size()) / 1048576;
  }
}
BENCHMARK(BM_LoadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

const TimeRatio framing("frame 1472 tiles / memcpy of the framed bytes", "BM_FrameIdlePackage",
                        "BM_CopyFramedIdlePackage");
const CounterRatio load_copy("1472-tile load, host side / memcpy framed bytes",
                             "BM_LoadIdlePackageOnSim", "host_ms", "copy_ms");
const CounterRatio load_batches("1472-tile load, batches only / memcpy framed",
                                "BM_LoadIdlePackageOnSim", "batches_ms", "copy_ms");
const CounterRatio load_floor("1472-tile load, host side / memcpy+buffer+fill",
                              "BM_LoadIdlePackageOnSim", "host_ms", "floor_ms");

}  // namespace
