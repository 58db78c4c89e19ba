// Runs the whole tool on the simulated device with the input as its three files (see
// tool_files_input.hpp), opened by path as the tool opens them. Whatever the files hold, the
// run ends with a status of the tool, one printable error line when it is 1, and the device
// released.

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "fuzz_check.hpp"
#include "reset_memory/run.hpp"
#include "tool_files_input.hpp"
#include "zel_base/utf8.hpp"
#include "zel_driver/device.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using zel_fuzz::check;

// A file in memory, opened by the tool through its descriptor's path as any file it is
// given: no disk write per input. One per file for the whole process, its contents replaced
// for each input (making and closing three per input cost a twentieth of a run).
class MemoryFile {
 public:
  MemoryFile() : fd_(zel_fixtures::memory_file({})), path_(fmt::format("/proc/self/fd/{}", fd_)) {}
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // The path of the file, now holding exactly `bytes`.
  const std::string& holding(std::span<const std::byte> bytes) {
    zel_fixtures::replace_file_contents(fd_, bytes);
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// Well-formed UTF-8 without control characters (C0, DEL, C1): safe on a terminal.
bool printable(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto decoded = zel_base::decode_utf8_at(text, at);
    if (!decoded) return false;
    const char32_t c = decoded->code_point;
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return false;
    at += decoded->length;
  }
  return true;
}

// Whether the device refuses some write of the configuration image itself, replayed alone on
// a device just initialized as the run does. An image is replayed as captured, so it may ask
// for a write the device refuses (a read-only debug register): that departure is the input's,
// not the stack's.
bool image_alone_refused(zel_sim::SimDevice& sim, std::span<const std::byte> image) {
  sim.power_up();
  if (auto device = zel_driver::Device::open("/dev/zel0", sim); device && device->initialize()) {
    static_cast<void>(device->replay_configuration(image));
  }
  return !sim.refusals().empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto files = zel_fuzz::split_tool_files(std::as_bytes(std::span(data, size)));
  static MemoryFile config, package, bootloader;
  const std::vector<std::string> arguments = {config.holding(files.config),
                                              package.holding(files.package),
                                              bootloader.holding(files.bootloader)};

  // One device, as new for every input so that a finding reproduces from the input alone:
  // making a new one costs more than most runs.
  static zel_sim::SimDevice sim(zel_sim::SimConfig::for_many_runs());
  std::ostringstream out, err;
  // The run blocks every signal; the fuzzer's own timers need them back.
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  const int status = reset_memory::run(arguments, sim, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);

  check(sim.open_descriptors() == 0 && sim.live_mappings() == 0 && sim.live_host_buffers() == 0 &&
            sim.attachments().empty(),
        "the run releases the device");
  // A package may name tiles the device does not have, which the simulated device refuses
  // and the run reports as an error; a run that passes saw no refusal of what the stack asked.
  check(status != 0 || sim.refusals().empty() || image_alone_refused(sim, files.config),
        "a passing run departs from no protocol");
  check(status == 0 || status == 1 || status == 101, "the run ends with a status of the tool");
  const std::string line = err.str();
  if (status == 1) {
    check(line.starts_with("Error: ") && line.find('\n') == line.size() - 1,
          "an error is one line");
    check(printable(std::string_view(line).substr(0, line.size() - 1)),
          "the error line is safe on a terminal");
  }
  if (status == 0) check(out.str().ends_with("poison/reset/readback PASS\n"), "a pass says so");
  // Powered up as the input ends rather than as the next one begins: what the run left
  // allocated is freed within the input, where libFuzzer would otherwise suspect a leak and
  // run the input again to look for it.
  sim.power_up();
  return 0;
}
