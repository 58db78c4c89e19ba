// `zel devices`: what each kind of name in the device folder is said to be, and the status.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "command_run.hpp"

namespace zel {
namespace {

using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

TEST(ZelDevices, AFolderWithoutNodesHasNoUsableDevice) {
  const TempDirectory dev;
  std::ofstream(dev.path("other0")) << "";  // not a zel* name
  const CommandRun listed = zel({"devices", "--dev-dir", dev.directory()});
  EXPECT_EQ(listed.status, 1);
  EXPECT_TRUE(listed.out.starts_with(fmt::format("no zel* node in {}\n", dev.directory())))
      << listed.out;
}

// Nodes that are no character device, each said for what it is, and none of them usable.
// (A character device, usable or not for an unprivileged user, is made by the lab test: only
// root can make one.)
TEST(ZelDevices, EachNameThatIsNoDeviceSaysWhatItIs) {
  const TempDirectory dev;
  std::ofstream(dev.path("zel1")) << "";
  std::filesystem::create_symlink("nowhere", dev.path("zel2"));
  std::filesystem::create_directory(dev.path("zel3"));
  ASSERT_EQ(::mkfifo(dev.path("zel4").c_str(), 0600), 0);
  const CommandRun listed = zel({"devices", "--dev-dir", dev.directory()});
  EXPECT_EQ(listed.status, 1);
  std::istringstream lines(listed.out);
  for (const auto& [name, verdict] : {
           std::pair{"zel1", "not usable: a regular file, not a character device"},
           std::pair{"zel2", "not usable: no node behind the name (ENOENT)"},
           std::pair{"zel3", "not usable: a directory, not a character device"},
           std::pair{"zel4", "not usable: a FIFO, not a character device"},
       }) {
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with(dev.path(name) + "  ")) << line;
    EXPECT_TRUE(line.ends_with(std::string("  ") + verdict)) << line;
  }
  std::string last;
  std::getline(lines, last);
  EXPECT_TRUE(last.starts_with("udev rule: ")) << last;
}

}  // namespace
}  // namespace zel
