#include "reset_memory/run.hpp"

#include <cerrno>
#include <new>
#include <string_view>

#include <fmt/format.h>

#include "reset_memory/application_load.hpp"
#include "reset_memory/configuration_restore.hpp"
#include "reset_memory/memory_check.hpp"
#include "reset_memory/run_end.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/signals.hpp"

namespace reset_memory {
namespace {

using zel_driver::Device;

RunEnd text_error(std::string text) { return RunError::text(std::move(text)); }

// Everything after the device is open. Arguments 2 and 3 are looked at only once the
// configuration is restored, so a bad first argument is always reported first.
[[nodiscard]] Step run_on_device(const Device& device, std::span<const std::string> arguments,
                                 std::ostream& out, Phases phases) {
  const std::string& config_path = arguments[0];
  phases("initialize");
  ZEL_TRY(device.initialize());
  phases("replay");
  ZEL_TRY(replay_configuration_file(device, config_path));
  if (arguments.size() < 2) return std::unexpected(text_error("idle package required"));
  if (arguments.size() < 3) return std::unexpected(text_error("bootloader ELF required"));
  // The application is kept to the end of the run.
  ZEL_TRY_ASSIGN(auto application, load_application(device, arguments[1], arguments[2], phases));
  return poison_reset_readback(device, config_path, out, phases);
}

[[nodiscard]] Step run_steps(std::span<const std::string> arguments, zel_base::Backend& backend,
                             std::ostream& out, const RunSettings& settings) {
  ZEL_TRY(zel_driver::block_device_interrupt_signals());
  if (arguments.empty()) return std::unexpected(text_error("configuration file required"));
  const Phases phases(settings.observer);
  phases("open");
  ZEL_TRY_ASSIGN(auto device, Device::open(settings.device_path, backend));
  Step result = run_on_device(device, arguments, out, phases);
  // The device is released when this returns, before the caller reports how the run ended.
  phases("release");
  return result;
}

// Memory that runs short in a step with no error of its own ends the run as the allocator's
// error would; every owner on the way releases what it holds as for any other error.
[[nodiscard]] Step run_steps_in_memory(std::span<const std::string> arguments,
                                       zel_base::Backend& backend, std::ostream& out,
                                       const RunSettings& settings) {
  try {
    return run_steps(arguments, backend, out, settings);
  } catch (const std::bad_alloc&) {
    return std::unexpected(RunError(zel_base::OsError(ENOMEM)));
  }
}

// The line for memory too short to format another: written as it stands.
constexpr std::string_view OUT_OF_MEMORY_LINE =
    "Error: Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }\n";

int report(const RunEnd& end, std::ostream& err) {
  try {
    if (const auto* failure = std::get_if<CheckFailure>(&end)) {
      err << failure->report() << std::flush;
      return EXIT_CHECK_FAILED;
    }
    err << fmt::format("Error: {:?}\n", std::get<RunError>(end)) << std::flush;
  } catch (const std::bad_alloc&) {
    err << OUT_OF_MEMORY_LINE << std::flush;
  }
  return EXIT_ERROR;
}

}  // namespace

// Result lines lost to a full disk or a closed pipe are said on `err` after the run's own end
// (an error line or a failure report), and a pass no longer exits 0. They are flushed before
// that end is written, so the two streams read in order on a terminal.
int run(std::span<const std::string> arguments, zel_base::Backend& backend, std::ostream& out,
        std::ostream& err, const RunSettings& settings) {
  const Step result = run_steps_in_memory(arguments, backend, out, settings);
  if (settings.observer != nullptr) settings.observer->ended(result);
  const int lost = zel_base::lost_output(out);
  // A failure to write the error line changes nothing: the status says how the run ended.
  const int status = result ? EXIT_OK : report(result.error(), err);
  if (lost == 0) return status;
  err << fmt::format("Error: {:?}\n",
                     RunError::text(fmt::format("cannot write the result lines: {}",
                                                zel_base::OsError(lost).display())))
      << std::flush;
  return status == EXIT_OK ? EXIT_ERROR : status;
}

}  // namespace reset_memory
