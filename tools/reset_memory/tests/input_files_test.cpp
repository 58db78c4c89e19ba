// The three input files, whatever they are: of any size or kind, a run ends with one error line
// or passes, never waits without end and never exhausts the host.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "reset_memory/application_load.hpp"
#include "reset_memory/file_bytes.hpp"
#include "reset_memory/memory_check.hpp"
#include "tool_fixture.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_driver/configuration_image.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_sim/sim_device.hpp"

namespace reset_memory {
namespace {

using namespace std::chrono_literals;
using testing::expect_released;
using testing::run_tool;
using testing::ToolFiles;
using testing::ToolRun;
using zel_sim::SimConfig;
using zel_sim::SimDevice;
using zel_sim::TraceOp;

// A file of `size` bytes that takes no room: holes only, after `head`.
std::string sparse_file(const ToolFiles& files, const std::string& name, off_t size,
                        std::span<const std::byte> head = {}) {
  const std::string path = files.write(name, head);
  EXPECT_EQ(::truncate(path.c_str(), size), 0);
  return path;
}

// A pipe whose writer stays open and silent: a reader waits for data that never comes.
class SilentPipe {
 public:
  SilentPipe() { EXPECT_EQ(::pipe2(ends_, O_CLOEXEC), 0); }
  ~SilentPipe() {
    ::close(ends_[0]);
    ::close(ends_[1]);
  }
  int read_end() const { return ends_[0]; }
  std::string path() const { return fmt::format("/proc/self/fd/{}", ends_[0]); }

 private:
  int ends_[2];
};

TEST(InputFiles, HugeAndEndlessFilesEndInOneErrorLine) {
  ToolFiles files;
  constexpr off_t HUNDRED_GB = off_t{100} << 30;
  const std::string sparse = sparse_file(files, "sparse", HUNDRED_GB);
  // A header that declares four billion records over a file of another size.
  std::vector<std::byte> header =
      zel_fixtures::configuration_image(zel_fixtures::captured_configuration());
  header.resize(zel_driver::CONFIGURATION_IMAGE_HEADER);
  std::ranges::fill(std::span(header).subspan(8), std::byte{0xff});
  const std::string declared_huge = sparse_file(files, "declared.zelcfg", HUNDRED_GB, header);
  // Zeros frame an empty message.
  const std::string no_root =
      "Error: Capnp(Exception { type: Failed, description: \"expected segment != nullptr && "
      "segment->checkObject(segment->getStartPtr(), ONE * WORDS); Message did not contain a root "
      "pointer.\" })\n";
  const std::string bootloader_too_large =
      fmt::format("Error: \"bootloader ELF larger than {} bytes\"\n", BOOTLOADER_FILE_LIMIT);
  const std::string not_elf = "Error: Elf(Error(\"invalid `Elf' handle\"))\n";
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {{sparse}, "Error: Invalid(\"bad configuration image\")\n"},
      {{declared_huge}, "Error: Invalid(\"bad configuration image size\")\n"},
      {{files.config(), sparse, files.bootloader()}, no_root},
      // A regular file is mapped, of whatever size: only what the reader touches is read.
      {{files.config(), files.package(), sparse}, not_elf},
      {{"/dev/zero"}, "Error: Invalid(\"bad configuration image\")\n"},
      {{files.config(), "/dev/zero", files.bootloader()}, no_root},
      // A stream has no size: it is read up to the limit.
      {{files.config(), files.package(), "/dev/zero"}, bootloader_too_large},
      // A file of the system's own says it is empty and gives bytes by its own rules.
      {{files.config(), files.package(), "/proc/self/pagemap"},
       "Error: Os { code: 22, kind: InvalidInput, message: \"Invalid argument\" }\n"},
  };
  for (const Case& c : cases) {
    SimDevice sim;
    ToolRun result = run_tool(c.arguments, sim);
    EXPECT_EQ(result.status, 1) << c.arguments.back();
    EXPECT_EQ(result.err, c.err) << c.arguments.back();
    expect_released(sim);
  }
}

TEST(InputFiles, ABootloaderFileOfAnySizeIsReadAsItStands) {
  ToolFiles files;
  auto elf = zel_fixtures::bootloader_elf(3000).value();
  elf.resize(20 << 20);  // 20 MiB: what follows the ELF file's parts is nobody's concern
  SimDevice sim;
  const ToolRun result =
      run_tool({files.config(), files.package(), files.write("large.elf", elf)}, sim);
  EXPECT_EQ(result.status, 0) << result.err;
}

// The run reads the image twice and must get the same bytes: a FIFO is refused by kind (opening
// it waits for no writer). Anything else fails as reading it fails.
TEST(InputFiles, AConfigurationImageIsReadAsItStandsUnlessItIsAFifo) {
  ToolFiles files;
  const std::string fifo = files.missing("image.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket = files.missing("image.socket");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX};
  socket.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  struct Case {
    std::string path;
    std::string err;
  } cases[] = {
      {fifo, "Error: \"configuration image is a FIFO, not a regular file\"\n"},
      {socket,
       "Error: Os { code: 6, kind: Uncategorized, message: \"No such device or address\" }\n"},
      {"/dev/null", "Error: Invalid(\"bad configuration image\")\n"},
      {files.missing(""),
       "Error: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }\n"},
  };
  for (const Case& c : cases) {
    SimDevice sim(SimConfig{.trace = true});
    ToolRun result = run_tool({c.path, files.package(), files.bootloader()}, sim);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.err);
    // The device was opened and initialized first; nothing of the check ever ran.
    EXPECT_EQ(std::ranges::count(sim.trace().ioctl_requests(), zel_driver::IOCTL_MAILBOX), 1);
    EXPECT_EQ(std::ranges::count_if(sim.trace().records(),
                                    [](const zel_sim::TraceRecord& record) {
                                      return record.op == TraceOp::Store &&
                                             record.value == TILE_DEBUG_SETUP;
                                    }),
              0);
    expect_released(sim);
  }
  ::close(listener);
}

TEST(InputFiles, ImagesLongerOrShorterThanTheirCountAreRefusedAsTheReplayWould) {
  // The replay sees an excess as it would in the whole file, whatever follows it.
  ToolFiles files;
  std::vector<std::byte> image =
      zel_fixtures::configuration_image(zel_fixtures::captured_configuration());
  image.push_back(std::byte{0});
  const std::string longer = files.write("longer.zelcfg", image);
  image.resize(zel_driver::CONFIGURATION_IMAGE_HEADER + 4);
  const std::string shorter = files.write("shorter.zelcfg", image);
  for (const std::string& path : {longer, shorter}) {
    SimDevice sim;
    ToolRun result = run_tool({path}, sim);
    EXPECT_EQ(result.err, "Error: Invalid(\"bad configuration image size\")\n") << path;
  }
}

// A FIFO that no writer opens cannot hold the run in its open: it reads as an empty stream.
TEST(InputFiles, FifosWithoutAWriterEndTheRunAtOnce) {
  ToolFiles files;
  const std::string fifo = files.missing("input.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::vector<std::string> arguments;
    std::string err;
  } cases[] = {
      {{files.config(), fifo, files.bootloader()},
       "Error: Capnp(Exception { type: Failed, description: \"Premature EOF\" })\n"},
      {{files.config(), files.package(), fifo}, "Error: Elf(Error(\"invalid `Elf' handle\"))\n"},
  };
  for (const auto& c : cases) {
    SimDevice sim;
    const ToolRun result = run_tool(c.arguments, sim);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.err);
    expect_released(sim);
  }
}

// A stream whose writer never writes ends the read after the stall limit, with one error.
TEST(InputFiles, SilentStreamsEndTheReadAfterTheStallLimit) {
  const SilentPipe pipe;
  const auto bootloader = read_bootloader_file(pipe.path(), 20ms);
  ASSERT_FALSE(bootloader);
  EXPECT_EQ(bootloader.error().debug(), "\"bootloader ELF: the stream gave no data for 20ms\"");
  const auto package = read_package(pipe.path(), 20ms);
  ASSERT_FALSE(package);
  EXPECT_EQ(package.error().debug(),
            "Capnp(Exception { type: Failed, description: \"the stream gave no data for 20ms\" })");
}

// Result lines that cannot be written (a full disk, a closed pipe) are never a pass.
TEST(InputFiles, LostResultLinesEndTheRunWithAnError) {
  ToolFiles files;
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  zel_base::FdOutput out(full);
  std::ostringstream err;
  SimDevice sim;
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  const int status = run(files.arguments(), sim, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::close(full);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err.str(),
            "Error: \"cannot write the result lines: No space left on device (os error 28)\"\n");
}

}  // namespace
}  // namespace reset_memory
