#include "reset_memory/application_load.hpp"

#include <fcntl.h>

#include "reset_memory/file_bytes.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/loader.hpp"

namespace reset_memory {
namespace {

using zel_driver::Device;
using zel_package::Application;

// The loader and the bootloader bytes live only as long as the load.
[[nodiscard]] std::expected<void, RunError> load_onto_tiles(const Device& device,
                                                            const Application& application,
                                                            const std::string& bootloader_path,
                                                            Phases phases) {
  phases("bootloader");
  ZEL_TRY_ASSIGN(auto bootloader, read_bootloader_file(bootloader_path));
  // The ELF reader works in the tool's own bytes: the file is in memory once.
  ZEL_TRY_ASSIGN(auto loader, zel_driver::Loader::create_in_place(device, bootloader.bytes()));
  phases("load");
  ZEL_TRY(loader.load(application, FINAL_MARK));
  return {};
}

// Applied as they stand, in package order: no offset is skipped, nothing is read back.
[[nodiscard]] std::expected<void, RunError> apply_device_config_writes(
    const Device& device, const Application& application) {
  for (const zel_package::DeviceConfigWrite& write : application.device_config_writes) {
    ZEL_TRY(device.write_config(write.offset, write.value));
  }
  return {};
}

}  // namespace

[[nodiscard]] std::expected<Application, RunError> read_package(
    const std::string& path, std::chrono::milliseconds stall_limit) {
  // Opened without waiting for a writer: a FIFO without one reads as an empty stream.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(RunError(zel_base::OsError::last()));
  return Application::read(fd, stall_limit);  // takes the descriptor over
}

[[nodiscard]] std::expected<Application, RunEnd> load_application(
    const Device& device, const std::string& package_path, const std::string& bootloader_path,
    Phases phases) {
  phases("package");
  ZEL_TRY_ASSIGN(auto application, read_package(package_path));
  ZEL_TRY(load_onto_tiles(device, application, bootloader_path, phases));
  phases("package-writes");
  ZEL_TRY(apply_device_config_writes(device, application));
  return application;
}

}  // namespace reset_memory
