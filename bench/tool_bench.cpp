// reset_memory's whole run on the simulated device (1472 tiles, the demo's inputs) against the
// plain memory work of its load, measured in the same run.

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "idle_load.hpp"
#include "memory_status.hpp"
#include "ratios.hpp"
#include "reset_memory/file_bytes.hpp"
#include "reset_memory/run.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/package_writer.hpp"

namespace {

using namespace zel_bench;

// The demo's three input files, in a directory of their own.
struct DemoInputs {
  std::filesystem::path directory;
  std::vector<std::string> arguments;

  DemoInputs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel-bench-XXXXXX").string();
    directory = ::mkdtemp(pattern.data());
    write("configuration.zelcfg",
          zel_fixtures::configuration_image(zel_fixtures::captured_configuration()));
    write("idle.package", zel_fixtures::write_package(idle_images().app));
    write("bootloader.elf", zel_fixtures::bootloader_elf(3000).value());
  }
  ~DemoInputs() { std::filesystem::remove_all(directory); }

  void write(const char* name, const std::vector<std::byte>& bytes) {
    const auto path = directory / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    arguments.push_back(path.string());
  }
};

// One whole run per iteration on a fresh simulated device. floor_ms: reading the three files
// and the load's plain memory work, in the same iteration.
void BM_ToolRunOnSim(benchmark::State& state) {
  const IdleImages& idle = idle_images();
  const DemoInputs inputs;
  std::vector<std::byte> batch(idle.largest_batch_bytes);
  double wall = 0, floor = 0;
  for (auto _ : state) {
    zel_sim::SimDevice sim;
    std::ostringstream out, err;
    const auto start = Clock::now();
    const int status = reset_memory::run(inputs.arguments, sim, out, err);
    wall += milliseconds(Clock::now() - start);
    if (status != 0) state.SkipWithError(err.str().c_str());

    state.PauseTiming();
    const auto read = Clock::now();
    // The image as the run reads it; the package and the bootloader as whole files.
    benchmark::DoNotOptimize(reset_memory::read_configuration_image(inputs.arguments[0]));
    for (const std::string& path : {inputs.arguments[1], inputs.arguments[2]}) {
      benchmark::DoNotOptimize(reset_memory::read_bootloader_file(path));
    }
    floor += milliseconds(Clock::now() - read) + load_floor_ms(idle, batch);
    state.ResumeTiming();
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["wall_ms"] = wall / n;
  state.counters["floor_ms"] = floor / n;
}
BENCHMARK(BM_ToolRunOnSim)->Unit(benchmark::kMillisecond);

const CounterRatio tool("whole tool run on the sim (wall) / its load floor", "BM_ToolRunOnSim",
                        "wall_ms", "floor_ms");

}  // namespace
