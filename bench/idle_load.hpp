#pragma once

// What the loader and tool benchmarks share: the 1472-tile idle package's images and framed
// bytes, the plain memory work of a load measured in the same run, and a simulated device
// whose own time is counted apart.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <type_traits>
#include <vector>

#include "zel_base/backend.hpp"
#include "zel_driver/host_buffer.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_driver/transport.hpp"
#include "zel_driver/transport_frames.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_package/application.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_bench {

using Clock = std::chrono::steady_clock;
using zel_driver::BATCH_SLOTS;
using zel_driver::FRAME_BYTES;
using zel_package::Application;

constexpr std::uint32_t TILE_COUNT = 1472;

inline double milliseconds(Clock::duration duration) {
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

inline const IdleImages& idle_images() {
  static const IdleImages images;
  return images;
}

// The framed bytes of every tile, copied batch by batch into one reused buffer: the floor
// for the loader's transport writes.
inline void copy_framed_bytes(const IdleImages& idle, std::vector<std::byte>& batch) {
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

// The plain memory work any load must do, in ms: copying the framed bytes once, plus making
// the transport buffer and filling it once for the sentinel, as the loader is asked to.
inline double load_floor_ms(const IdleImages& idle, std::vector<std::byte>& batch) {
  const auto start = Clock::now();
  copy_framed_bytes(idle, batch);
  auto transport =
      zel_driver::HostBuffer::create(zel_driver::system_backend(), zel_driver::TRANSPORT_BYTES)
          .value();
  std::memset(transport.bytes_mut().data(), 0xff, transport.size());
  benchmark::DoNotOptimize(transport.data());
  benchmark::ClobberMemory();
  return milliseconds(Clock::now() - start);
}

// The simulated device, with the real time spent inside it counted apart: the device reacts
// inside the calls (a batch is read and written to tile memory inside the store of its mark),
// so whatever is not spent in a call is the host's own work.
class TimedSim final : public zel_base::Backend {
 public:
  zel_sim::SimDevice sim;
  Clock::duration inside{};

  int open(const char* path, int flags) override {
    return timed([&] { return sim.open(path, flags); });
  }
  int close(int fd) override {
    return timed([&] { return sim.close(fd); });
  }
  int lock(int fd, int& holder) override {
    return timed([&] { return sim.lock(fd, holder); });
  }
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    return timed([&] { return sim.ioctl(fd, request, argument); });
  }
  void* map(int fd, std::size_t size) override {
    return timed([&] { return sim.map(fd, size); });
  }
  void* map_anonymous(std::size_t size) override {
    return timed([&] { return sim.map_anonymous(size); });
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
  void to_device_barrier() override { sim.to_device_barrier(); }
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

}  // namespace zel_bench
