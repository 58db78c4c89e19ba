// The application loader against the plain memory work it cannot avoid. Run:
// build/release/bench/zel_loader_bench

#include <malloc.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "zel_driver/loader.hpp"
#include "zel_driver/loader_transport.hpp"
#include "zel_driver/tile_framing.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_package/application.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using zel_driver::BATCH_SLOTS;
using zel_driver::FRAME_BYTES;
using zel_package::Application;

constexpr std::uint32_t TILE_COUNT = 1472;

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// The idle package's tile images, padded as the loader pads them, and their framed bytes.
struct IdleImages {
  Application app = zel_fixtures::idle_application(TILE_COUNT);
  std::vector<std::vector<std::byte>> images;
  std::vector<std::vector<std::byte>> framed;
  std::size_t largest_batch_bytes = 0;
  std::size_t framed_bytes = 0;

  IdleImages() {
    for (const auto& tile : app.tiles) {
      auto image = app.tile_image(tile.physical_tile).value();
      if (image.size() < zel_driver::MINIMUM_IMAGE_BYTES) {
        image.resize(zel_driver::MINIMUM_IMAGE_BYTES);
      }
      framed.push_back(zel_driver::frame_tile(tile.physical_tile, image).value());
      images.push_back(std::move(image));
    }
    for (std::size_t first = 0; first < TILE_COUNT; first += BATCH_SLOTS) {
      std::size_t batch = 0;
      for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) batch += framed[first + slot].size();
      largest_batch_bytes = std::max(largest_batch_bytes, batch);
      framed_bytes += batch;
    }
  }
};

const IdleImages& idle_images() {
  static const IdleImages images;
  return images;
}

// The framed bytes of every tile, copied batch by batch into one reused buffer: the floor
// for the loader's transport writes.
void copy_framed_bytes(const IdleImages& idle, std::vector<std::byte>& batch) {
  for (std::size_t first = 0; first < TILE_COUNT; first += BATCH_SLOTS) {
    std::size_t cursor = 0;
    for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) {
      const auto& framed = idle.framed[first + slot];
      std::memcpy(batch.data() + cursor, framed.data(), framed.size());
      cursor += framed.size();
    }
    benchmark::DoNotOptimize(batch.data());
    benchmark::ClobberMemory();
  }
}

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

// The simulated device, with the real time spent inside it counted apart: the device reacts
// inside the calls (a batch is read and written to tile memory inside the store of its mark),
// so whatever is not spent in a call is the host's own work.
class TimedSim final : public zel_driver::Backend {
 public:
  zel_sim::SimDevice sim;
  Clock::duration inside{};

  int open(const char* path, int flags) override {
    return timed([&] { return sim.open(path, flags); });
  }
  int close(int fd) override {
    return timed([&] { return sim.close(fd); });
  }
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    return timed([&] { return sim.ioctl(fd, request, argument); });
  }
  void* map(int fd, std::size_t size) override {
    return timed([&] { return sim.map(fd, size); });
  }
  int unmap(void* address, std::size_t size) override {
    return timed([&] { return sim.unmap(address, size); });
  }
  std::uint32_t load(const volatile std::uint32_t* reg) override {
    return timed([&] { return sim.load(reg); });
  }
  void store(volatile std::uint32_t* reg, std::uint32_t value) override {
    timed([&] {
      sim.store(reg, value);
      return 0;
    });
  }
  std::chrono::nanoseconds now() override { return sim.now(); }
  void sleep_for(std::chrono::nanoseconds duration) override { sim.sleep_for(duration); }

 private:
  template <class Call>
  std::invoke_result_t<Call&> timed(Call call) {
    const auto start = Clock::now();
    auto result = call();
    inside += Clock::now() - start;
    return result;
  }
};

struct LoadRig {
  TimedSim backend;
  zel_driver::Device device = zel_driver::Device::open("/dev/zel0", backend).value();
  zel_driver::Loader loader =
      zel_driver::Loader::create(device, zel_fixtures::bootloader_elf(1000).value()).value();
};

// A whole 1472-tile load on the simulated device. host_ms is the wall time less the time
// inside the simulated device; copy_ms, measured in the same iteration, is the floor of
// copying the framed bytes, and fill_ms that of the one 0xFF fill of the transport the
// sentinel needs.
void BM_LoadIdlePackageOnSim(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  LoadRig rig;
  std::vector<std::byte> batch(idle.largest_batch_bytes);
  std::vector<std::byte> transport(zel_driver::TRANSPORT_BYTES);
  double host = 0, device = 0, copy = 0, fill = 0;
  for (auto _ : state) {
    rig.backend.inside = {};
    const auto start = Clock::now();
    auto loaded = rig.loader.load(idle.app, 23);
    const auto wall = Clock::now() - start;
    if (!loaded) state.SkipWithError(loaded.error().display().c_str());
    host += milliseconds(wall - rig.backend.inside);
    device += milliseconds(rig.backend.inside);

    state.PauseTiming();
    auto copied = Clock::now();
    copy_framed_bytes(idle, batch);
    copy += milliseconds(Clock::now() - copied);
    auto filled = Clock::now();
    std::memset(transport.data(), 0xff, transport.size());
    benchmark::ClobberMemory();
    fill += milliseconds(Clock::now() - filled);
    state.ResumeTiming();
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["host_ms"] = host / n;
  state.counters["sim_ms"] = device / n;
  state.counters["copy_ms"] = copy / n;
  state.counters["fill_ms"] = fill / n;
}
BENCHMARK(BM_LoadIdlePackageOnSim)->Unit(benchmark::kMillisecond);

// A line of /proc/self/status in kB ("VmRSS", "VmHWM").
std::int64_t status_kilobytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
  }
  return -1;
}

// Peak resident memory of a load beyond what was held before it (the package, and the
// simulated device's tile memory from an earlier load, which the new one replaces page for
// page), against the transport plus one framed tile image.
void BM_LoadPeakMemory(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  LoadRig rig;
  if (!rig.loader.load(idle.app, 23)) state.SkipWithError("first load failed");
  for (auto _ : state) {
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
    const std::int64_t before = status_kilobytes("VmRSS");
    auto loaded = rig.loader.load(idle.app, 23);
    const std::int64_t peak = status_kilobytes("VmHWM");
    if (!loaded) state.SkipWithError(loaded.error().display().c_str());
    state.counters["peak_MB"] = static_cast<double>(peak - before) / 1024;
    state.counters["limit_MB"] =
        static_cast<double>(zel_driver::TRANSPORT_BYTES + idle.framed.front().size()) / 1048576;
  }
}
BENCHMARK(BM_LoadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
