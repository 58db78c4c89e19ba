#include "zel_driver/loader.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <variant>

#include <gtest/gtest.h>

#include "zel_fixtures/elf_writer.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

using zel_fixtures::ByteOrder;
using zel_fixtures::ElfClass;
using zel_fixtures::ElfFile;
using zel_fixtures::ElfSegment;

using Bytes = std::vector<std::byte>;
// The bootloader bytes, or the error's debug form.
using Outcome = std::variant<Bytes, std::string>;

Bytes pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t index = 0; index < size; ++index) {
    bytes[index] = static_cast<std::byte>((index * seed) % 255 + 1);
  }
  return bytes;
}

Bytes padded(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

Bytes read_file(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(file)), {});
  Bytes bytes(chars.size());
  std::ranges::transform(chars, bytes.begin(), [](char c) { return std::byte(c); });
  return bytes;
}

Outcome outcome(const Result<Loader>& loader) {
  if (!loader) return loader.error().debug();
  return Bytes(loader->bootloader().begin(), loader->bootloader().end());
}

class LoaderCreate : public ::testing::Test {
 protected:
  zel_sim::SimDevice sim{zel_sim::SimConfig{.trace = true}};
  Device device = Device::open("/dev/zel0", sim).value();
};

constexpr std::uint64_t BASE = 0x4c000;
const Bytes A = pattern(1000, 7);
const Bytes B = pattern(600, 11);
const std::string MULTIPLE = "Invalid(\"multiple bootloader load segments\")";
const std::string MISSING = "Invalid(\"missing bootloader segment\")";
const std::string TOO_LARGE = "Invalid(\"bootloader exceeds descriptor area\")";
const std::string OUTSIDE = "Elf(Error(\"segment file range outside the file\"))";

TEST_F(LoaderCreate, TakesTheOneBootloaderSegmentInEveryClassAndByteOrder) {
  struct Case {
    const char* name;
    std::vector<ElfSegment> segments;
    Outcome expected;
  };
  const Case cases[] = {
      {"1000 file bytes are padded to 1024",
       {{.vaddr = BASE, .memsz = 1000, .bytes = A}},
       padded(A, 1024)},
      {"4096 file bytes stay as they are",
       {{.vaddr = BASE, .memsz = 4096, .bytes = pattern(4096, 3)}},
       pattern(4096, 3)},
      {"4097 file bytes are too many",
       {{.vaddr = BASE, .memsz = 4097, .bytes = pattern(4097, 3)}},
       TOO_LARGE},
      {"memory size beyond the file bytes keeps the file bytes",
       {{.vaddr = BASE, .memsz = 0x10000, .bytes = pattern(2048, 5)}},
       pattern(2048, 5)},
      {"memory size without file bytes gives an empty bootloader",
       {{.vaddr = BASE, .memsz = 0x100}},
       Bytes{}},
      {"two bootloader segments",
       {{.vaddr = BASE, .memsz = 1000, .bytes = A}, {.vaddr = BASE, .memsz = 600, .bytes = B}},
       MULTIPLE},
      {"a bootloader segment of memory size 0 is ignored",
       {{.vaddr = BASE, .memsz = 0, .bytes = B}, {.vaddr = BASE, .memsz = 1000, .bytes = A}},
       padded(A, 1024)},
      {"the only segment starts at 0x4c010",
       {{.vaddr = 0x4c010, .memsz = 1000, .bytes = A}},
       MISSING},
      {"the segment at 0x4c000 is not loadable",
       {{.type = PT_NOTE, .vaddr = BASE, .memsz = 1000, .bytes = A}},
       MISSING},
      {"no segments at all", {}, MISSING},
      {"other segments before and after do not matter",
       {{.vaddr = 0x10000, .memsz = 600, .bytes = B},
        {.type = PT_NOTE, .vaddr = BASE, .memsz = 600, .bytes = B},
        {.vaddr = BASE, .memsz = 1000, .bytes = A},
        {.vaddr = 0x4d000, .memsz = 0x5000, .bytes = pattern(5000, 13)}},
       padded(A, 1024)},
      {"file bytes beyond the end of the file",
       {{.vaddr = BASE, .memsz = 1000, .bytes = A, .claimed_filesz = 0x100000}},
       OUTSIDE},
      {"empty file bytes at an offset past the file",
       {{.vaddr = BASE, .memsz = 0x100, .claimed_offset = 0x100000}},
       OUTSIDE},
      {"offset near the top of the 32-bit range",
       {{.vaddr = BASE, .memsz = 0x200, .claimed_offset = 0xffffff00, .claimed_filesz = 0x200}},
       OUTSIDE},
      {"segments elsewhere may lie outside the file",
       {{.vaddr = 0x10000, .memsz = 600, .claimed_offset = 0xffffff00, .claimed_filesz = 0x200},
        {.vaddr = BASE, .memsz = 1000, .bytes = A}},
       padded(A, 1024)},
      {"a second bootloader segment fails before its bytes are taken",
       {{.vaddr = BASE, .memsz = 1000, .bytes = A},
        {.vaddr = BASE, .memsz = 0x200, .claimed_offset = 0xffffff00, .claimed_filesz = 0x200}},
       MULTIPLE},
  };
  const std::size_t device_traffic = sim.trace().records().size();
  for (ElfClass elf_class : {ElfClass::Elf32, ElfClass::Elf64}) {
    for (ByteOrder byte_order : {ByteOrder::Little, ByteOrder::Big}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.name << ", ELF" << (elf_class == ElfClass::Elf32 ? 32 : 64)
                     << (byte_order == ByteOrder::Little ? " LSB" : " MSB"));
        const Bytes file =
            zel_fixtures::write_elf(
                {.elf_class = elf_class, .byte_order = byte_order, .segments = c.segments})
                .value();
        ASSERT_EQ(file[EI_CLASS],
                  std::byte(elf_class == ElfClass::Elf32 ? ELFCLASS32 : ELFCLASS64));
        ASSERT_EQ(file[EI_DATA],
                  std::byte(byte_order == ByteOrder::Little ? ELFDATA2LSB : ELFDATA2MSB));
        EXPECT_EQ(outcome(Loader::create(device, file)), c.expected);
        // The ELF reader working in the caller's own bytes comes to the same.
        Bytes buffer = file;
        EXPECT_EQ(outcome(Loader::create_in_place(device, buffer)), c.expected);
      }
    }
  }
  EXPECT_EQ(sim.trace().records().size(), device_traffic) << "creating a loader touched the device";
}

TEST_F(LoaderCreate, OffsetAndSizeThatWrapAroundAreOutsideTheFile) {
  const Bytes file = zel_fixtures::write_elf({.elf_class = ElfClass::Elf64,
                                              .segments = {{.vaddr = BASE,
                                                            .memsz = 0x200,
                                                            .claimed_offset = ~std::uint64_t{0xff},
                                                            .claimed_filesz = 0x200}}})
                         .value();
  EXPECT_EQ(outcome(Loader::create(device, file)), Outcome(OUTSIDE));
}

// A file cut off inside the bootloader's bytes, as an interrupted copy leaves it.
TEST_F(LoaderCreate, FileBytesMustEndInsideTheFile) {
  const Bytes file =
      zel_fixtures::write_elf({.segments = {{.vaddr = BASE, .memsz = 1000, .bytes = A}}}).value();
  const auto found = std::ranges::search(file, A);
  ASSERT_FALSE(found.empty());
  const std::size_t end = static_cast<std::size_t>(found.end() - file.begin());
  const Bytes whole(file.begin(), file.begin() + end);
  const Bytes cut(file.begin(), file.begin() + end - 1);
  EXPECT_EQ(outcome(Loader::create(device, whole)), Outcome(padded(A, 1024)));
  EXPECT_EQ(outcome(Loader::create(device, cut)), Outcome(OUTSIDE));
}

TEST_F(LoaderCreate, RefusesWhatTheReaderCannotRead) {
  const Bytes file =
      zel_fixtures::write_elf({.elf_class = ElfClass::Elf64,
                               .segments = {{.vaddr = BASE, .memsz = 8, .bytes = A},
                                            {.vaddr = BASE, .memsz = 8, .bytes = A}}})
          .value();
  const std::string text = "#!/bin/sh\necho bootloader\n";
  // The count moved to section 0 of a file without section headers (the section count kept).
  Bytes extended_count =
      zel_fixtures::write_elf({.segments = {{.vaddr = BASE, .memsz = 8, .bytes = A},
                                            {.vaddr = BASE, .memsz = 8, .bytes = A}}})
          .value();
  std::fill_n(extended_count.begin() + 32, 4, std::byte{0});     // e_shoff
  std::fill_n(extended_count.begin() + 44, 2, std::byte{0xff});  // e_phnum: PN_XNUM
  struct Case {
    const char* name;
    Bytes bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"text file",
       Bytes(reinterpret_cast<const std::byte*>(text.data()),
             reinterpret_cast<const std::byte*>(text.data() + text.size())),
       "Elf(Error(\"invalid `Elf' handle\"))"},
      {"empty file", {}, "Elf(Error(\"invalid operand\"))"},
      {"extended program header count without sections", extended_count,
       "Elf(Error(\"program header count in a missing section\"))"},
      {"truncated header", Bytes(file.begin(), file.begin() + 40),
       "Elf(Error(\"invalid ELF file data\"))"},
      {"program headers cut before the first", Bytes(file.begin(), file.begin() + 64 + 20),
       "Elf(Error(\"invalid data\"))"},
      {"program headers cut after the first", Bytes(file.begin(), file.begin() + 64 + 56 + 20),
       "Elf(Error(\"invalid data\"))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(Loader::create(device, c.bytes)), Outcome(c.expected));
  }
}

TEST_F(LoaderCreate, AcceptsABootloaderLinkedByTheToolchain) {
  const Bytes file = read_file(ZEL_TOOLCHAIN_BOOTLOADER_ELF);
  const Bytes code = read_file(ZEL_TOOLCHAIN_BOOTLOADER_BIN);
  ASSERT_EQ(code.size(), 1504u);
  auto loader = Loader::create(device, file);
  ASSERT_TRUE(loader) << loader.error().debug();
  EXPECT_EQ(outcome(loader), Outcome(padded(code, 2048)));
  EXPECT_EQ(&loader->device(), &device);
}

TEST_F(LoaderCreate, AcceptsTheSampleBootloader) {
  const Bytes file = zel_fixtures::bootloader_elf(3000).value();
  EXPECT_EQ(outcome(Loader::create(device, file)),
            Outcome(padded(zel_fixtures::bootloader_code(3000), 3072)));
}

}  // namespace
}  // namespace zel_driver
