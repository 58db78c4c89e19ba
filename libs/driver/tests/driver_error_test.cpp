#include "zel_driver/driver_error.hpp"

#include <cerrno>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "zel_driver/bytes.hpp"

namespace zel_driver {
namespace {

TEST(DriverError, DisplayDebugAndCauseOfEveryVariant) {
  struct Case {
    DriverError error;
    std::string display;
    std::string debug;
    std::string cause;  // debug form of the cause, empty for none
  };
  const Case cases[] = {
      {DriverError::Io{"open ZEL device", OsError(ENOENT)},
       "open ZEL device: No such file or directory (os error 2)",
       "Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, message: \"No "
       "such file or directory\" } }",
       "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
      {DriverError::invalid("bad configuration image"),
       "invalid device data: bad configuration image", "Invalid(\"bad configuration image\")", ""},
      {DriverError::timeout("hardware autoloader"), "device timeout: hardware autoloader",
       "Timeout(\"hardware autoloader\")", ""},
      {PackageError::invalid("unknown tile 12"), "package error: invalid package: unknown tile 12",
       "Package(Invalid(\"unknown tile 12\"))", "Invalid(\"unknown tile 12\")"},
      {ElfError("invalid `Elf' handle"), "ELF error: invalid `Elf' handle",
       "Elf(Error(\"invalid `Elf' handle\"))", "Error(\"invalid `Elf' handle\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fmt::format("{}", c.error), c.display);
    EXPECT_EQ(fmt::format("{:?}", c.error), c.debug);
    const Error* cause = c.error.cause();
    EXPECT_EQ(cause ? cause->debug() : std::string(), c.cause);
  }
}

TEST(DriverError, IoErrorTakesTheCurrentErrno) {
  errno = EACCES;
  DriverError error = io_error("attach ZEL");
  EXPECT_EQ(error.debug(),
            "Io { operation: \"attach ZEL\", source: Os { code: 13, kind: PermissionDenied, "
            "message: \"Permission denied\" } }");
}

TEST(ReadU32, LittleEndianWithinBoundsOnly) {
  const std::byte bytes[12] = {std::byte{0x01},
                               std::byte{0x02},
                               std::byte{0x03},
                               std::byte{0x04},
                               {},
                               {},
                               {},
                               {},
                               std::byte{0xff},
                               {},
                               {},
                               std::byte{0x80}};
  EXPECT_EQ(read_u32(bytes, 0), 0x04030201u);
  EXPECT_EQ(read_u32(bytes, 8), 0x800000ffu);
  for (std::size_t offset : {std::size_t{9}, std::size_t{12}, std::size_t{13}, SIZE_MAX - 1}) {
    auto result = read_u32(bytes, offset);
    ASSERT_FALSE(result) << offset;
    EXPECT_EQ(result.error().debug(), "Invalid(\"truncated data\")");
  }
  EXPECT_FALSE(read_u32(std::span<const std::byte>(bytes, 3), 0));
}

}  // namespace
}  // namespace zel_driver
