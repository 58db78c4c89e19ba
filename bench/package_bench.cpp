// Package reading, validation and tile images against the plain memory work they cannot
// avoid. Run: build/release/bench/zel_package_bench (or scripts/bench)

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "memory_status.hpp"
#include "ratios.hpp"

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_package/application.hpp"

namespace {

using zel_package::Application;
using zel_package::Segment;

constexpr std::uint32_t TILE_COUNT = 1472;
// Per tile, so that the package is about 100 MB.
constexpr std::uint32_t TILE_DATA_BYTES = 68 * 1024;

std::vector<std::byte> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = std::byte((i * 131 + seed) >> 3);
  return bytes;
}

// The idle application with a data segment of TILE_DATA_BYTES on every tile, written once
// into an in-memory file.
struct LargePackage {
  std::size_t bytes = 0;
  int fd = -1;

  LargePackage() {
    const Application app = zel_fixtures::idle_application(TILE_COUNT, TILE_DATA_BYTES);
    const auto package = zel_fixtures::write_package(app);
    bytes = package.size();
    fd = zel_fixtures::memory_file(package);
  }

  // A descriptor of its own, at the start of the package.
  int fresh_descriptor() const {
    const int copy = ::dup(fd);
    ::lseek(copy, 0, SEEK_SET);
    return copy;
  }
};

const LargePackage& large_package() {
  static const LargePackage package;
  return package;
}

void BM_ReadPackage(benchmark::State& state) {
  const LargePackage& package = large_package();
  for (auto _ : state) {
    state.PauseTiming();
    const int fd = package.fresh_descriptor();
    state.ResumeTiming();
    auto app = Application::read(zel_base::UniqueFd(fd));
    if (!app) state.SkipWithError(app.error().display().c_str());
    benchmark::DoNotOptimize(app);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * package.bytes));
}
BENCHMARK(BM_ReadPackage)->Unit(benchmark::kMillisecond);

// The floor for reading: the file into memory and one copy of it.
void BM_ReadFileAndCopyOnce(benchmark::State& state) {
  const LargePackage& package = large_package();
  for (auto _ : state) {
    state.PauseTiming();
    const int fd = package.fresh_descriptor();
    state.ResumeTiming();
    std::unique_ptr<std::byte[]> file(new std::byte[package.bytes]);
    std::size_t done = 0;
    while (done < package.bytes) {
      const ssize_t n = ::read(fd, file.get() + done, package.bytes - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::unique_ptr<std::byte[]> copy(new std::byte[package.bytes]);
    std::memcpy(copy.get(), file.get(), package.bytes);
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * package.bytes));
}
BENCHMARK(BM_ReadFileAndCopyOnce)->Unit(benchmark::kMillisecond);

// Peak resident memory while reading, beyond what the process held before and beyond the
// model that remains: the reader's own working memory, in units of the file size.
void BM_ReadPackagePeakMemory(benchmark::State& state) {
  const LargePackage& package = large_package();
  for (auto _ : state) {
    const int fd = package.fresh_descriptor();
    // Free heap pages left by earlier work would hide the model's own pages.
    ::malloc_trim(0);
    zel_bench::reset_peak_memory();
    const std::int64_t before = zel_bench::status_kilobytes("VmRSS");
    auto app = Application::read(zel_base::UniqueFd(fd));
    const std::int64_t peak = zel_bench::status_kilobytes("VmHWM");
    const std::int64_t model = zel_bench::status_kilobytes("VmRSS") - before;
    benchmark::DoNotOptimize(app);
    const double file_kb = static_cast<double>(package.bytes) / 1024;
    state.counters["file_MB"] = file_kb / 1024;
    state.counters["model_MB"] = static_cast<double>(model) / 1024;
    state.counters["peak_MB"] = static_cast<double>(peak - before) / 1024;
    state.counters["peak_minus_model_per_file"] =
        static_cast<double>(peak - before - model) / file_kb;
  }
}
BENCHMARK(BM_ReadPackagePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Idle tiles with 16 segments each, listed in descending order so that sorting has work.
Application many_segments(std::uint32_t tiles) {
  Application app = zel_fixtures::idle_application(tiles);
  for (auto& tile : app.tiles) {
    for (std::uint32_t k = 14; k > 0; --k) {
      tile.segments.push_back(Segment{0x52000 + k * 0x1000, 0x800, {}, 0});
    }
  }
  return app;
}

void BM_Validate(benchmark::State& state) {
  const Application app = many_segments(static_cast<std::uint32_t>(state.range(0)));
  for (auto _ : state) {
    auto valid = app.validate();
    if (!valid) state.SkipWithError(valid.error().display().c_str());
    benchmark::DoNotOptimize(valid);
  }
  state.SetComplexityN(state.range(0) * 16);
}
BENCHMARK(BM_Validate)->Arg(184)->Arg(1472)->Complexity(benchmark::oNLogN);

// One tile filling its memory with eight segments.
Application full_tile() {
  Application app(zel_target::Target::Zel21);
  zel_package::TileImage tile{.physical_tile = 0};
  constexpr std::uint32_t piece = 0x9c000 / 8;
  for (std::uint32_t k = 0; k < 8; ++k) {
    tile.segments.push_back(Segment{0x4c000 + k * piece, piece, pattern(piece, k), 0});
  }
  app.tiles.push_back(std::move(tile));
  return app;
}

void BM_TileImage(benchmark::State& state) {
  const Application app = full_tile();
  for (auto _ : state) {
    auto image = app.tile_image(0);
    benchmark::DoNotOptimize(image);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 0x9c000);
}
BENCHMARK(BM_TileImage);

// The floor for a tile image: a fresh buffer and one copy of each segment's bytes.
void BM_TileImageBytesMemcpy(benchmark::State& state) {
  const Application app = full_tile();
  for (auto _ : state) {
    std::unique_ptr<std::byte[]> image(new std::byte[0x9c000]);
    for (const Segment& segment : app.tiles[0].segments) {
      std::memcpy(image.get() + (segment.address - 0x4c000), segment.data.data(),
                  segment.data.size());
    }
    benchmark::DoNotOptimize(image.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 0x9c000);
}
BENCHMARK(BM_TileImageBytesMemcpy);

using zel_bench::TimeRatio;
const TimeRatio reading("read 98 MB package / read the file + copy it once", "BM_ReadPackage",
                        "BM_ReadFileAndCopyOnce");
const TimeRatio validation("validation, 1472 / 184 tiles (n log n: ~10x)", "BM_Validate/1472",
                           "BM_Validate/184");
const TimeRatio image("full tile image / memcpy of its segment bytes", "BM_TileImage",
                      "BM_TileImageBytesMemcpy");

}  // namespace
