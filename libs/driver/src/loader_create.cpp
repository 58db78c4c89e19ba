#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <memory>

#include "zel_base/try.hpp"
#include "zel_driver/bootloader_elf.hpp"
#include "zel_driver/loader.hpp"

namespace zel_driver {
namespace {

// The reader's message for its most recent failure on this thread.
DriverError reader_error() { return ElfError(elf_errmsg(-1)); }

struct ElfEnd {
  void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfEnd>;

// Makes the reader load the whole program header table. It would otherwise report only the
// headers that fit in the file, so a cut-off table would pass as a shorter one.
bool load_program_header_table(Elf* elf) {
  return gelf_getclass(elf) == ELFCLASS32 ? elf32_getphdr(elf) != nullptr
                                          : elf64_getphdr(elf) != nullptr;
}

struct ElfLayout {
  GElf_Ehdr header;
  std::vector<GElf_Phdr> load_segments;  // the PT_LOAD headers, in program-header order
};

// The reader takes a writable image and may rewrite it in place.
[[nodiscard]] Result<ElfLayout> read_layout(std::span<std::byte> file) {
  if (elf_version(EV_CURRENT) == EV_NONE) return std::unexpected(reader_error());
  const ElfHandle elf(elf_memory(reinterpret_cast<char*>(file.data()), file.size()));
  if (!elf) return std::unexpected(reader_error());
  GElf_Ehdr header;
  if (gelf_getehdr(elf.get(), &header) == nullptr) return std::unexpected(reader_error());
  // An extended count sits in section 0. Without a section header table (offset 0) the
  // reader would take the ELF header itself for section 0.
  std::size_t sections = 0;
  if (header.e_phnum == PN_XNUM &&
      (header.e_shoff == 0 || elf_getshdrnum(elf.get(), &sections) != 0 || sections == 0)) {
    return std::unexpected(ElfError("program header count in a missing section"));
  }
  if (header.e_phnum != 0 && !load_program_header_table(elf.get())) {
    return std::unexpected(reader_error());
  }
  std::size_t count = 0;
  if (elf_getphdrnum(elf.get(), &count) != 0) return std::unexpected(reader_error());
  ElfLayout layout{.header = header};
  for (std::size_t index = 0; index < count; ++index) {
    GElf_Phdr segment;
    if (gelf_getphdr(elf.get(), static_cast<int>(index), &segment) == nullptr) {
      return std::unexpected(reader_error());
    }
    if (segment.p_type == PT_LOAD) layout.load_segments.push_back(segment);
  }
  return layout;
}

// The segment's file bytes; the reader hands out headers but does not check this range.
[[nodiscard]] Result<std::span<const std::byte>> segment_bytes(std::span<const std::byte> file,
                                                               const GElf_Phdr& segment) {
  if (segment.p_offset > file.size() || segment.p_filesz > file.size() - segment.p_offset) {
    return std::unexpected(ElfError("segment file range outside the file"));
  }
  return file.subspan(segment.p_offset, segment.p_filesz);
}

}  // namespace

[[nodiscard]] Result<BootloaderElf> read_bootloader_elf(std::span<std::byte> file) {
  return with_allocation_failure_as_error("read bootloader ELF", [&]() -> Result<BootloaderElf> {
    ZEL_TRY_ASSIGN(auto layout, read_layout(file));
    const GElf_Phdr* found = nullptr;
    std::span<const std::byte> bytes;
    for (const GElf_Phdr& segment : layout.load_segments) {
      if (segment.p_vaddr != BOOTLOADER_ADDRESS || segment.p_memsz == 0) continue;
      if (found) return std::unexpected(DriverError::invalid("multiple bootloader load segments"));
      ZEL_TRY_ASSIGN(bytes, segment_bytes(file, segment));
      found = &segment;
    }
    if (!found) return std::unexpected(DriverError::invalid("missing bootloader segment"));
    if (bytes.size() > DESCRIPTOR_AREA_BYTES) {
      return std::unexpected(DriverError::invalid("bootloader exceeds descriptor area"));
    }
    const std::size_t padded = (bytes.size() + BOOTLOADER_PADDING_UNIT - 1) /
                               BOOTLOADER_PADDING_UNIT * BOOTLOADER_PADDING_UNIT;
    BootloaderElf elf{
        .elf_class = layout.header.e_ident[EI_CLASS] == ELFCLASS32 ? 32u : 64u,
        .big_endian = layout.header.e_ident[EI_DATA] == ELFDATA2MSB,
        .segment_file_bytes = found->p_filesz,
        .segment_memory_bytes = found->p_memsz,
        .image = std::vector<std::byte>(padded),
    };
    std::ranges::copy(bytes, elf.image.begin());
    return elf;
  });
}

Result<Loader> Loader::create(const Device& device, std::span<const std::byte> bootloader_elf) {
  return with_allocation_failure_as_error("read bootloader ELF", [&]() -> Result<Loader> {
    // A private copy keeps the caller's bytes out of the reader's reach.
    std::vector<std::byte> copy(bootloader_elf.begin(), bootloader_elf.end());
    return create_in_place(device, copy);
  });
}

Result<Loader> Loader::create_in_place(const Device& device, std::span<std::byte> bootloader_elf) {
  ZEL_TRY_ASSIGN(auto elf, read_bootloader_elf(bootloader_elf));
  return Loader(device, std::move(elf.image));
}

}  // namespace zel_driver
