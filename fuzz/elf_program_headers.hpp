#pragma once

// A minimal ELF program-header reader of the harness's own, independent of the loader's ELF
// library: the fuzzer compares the loader's verdict and bytes with what follows from it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zel_fuzz {

struct ProgramHeader {
  std::uint64_t type;
  std::uint64_t offset;
  std::uint64_t vaddr;
  std::uint64_t filesz;
  std::uint64_t memsz;
};

inline constexpr std::uint32_t PT_LOAD_TYPE = 1;

class ElfView {
 public:
  // None when `file` is no ELF file: the identification is wrong or the header cut short.
  static std::optional<ElfView> open(std::span<const std::byte> file) {
    ElfView view(file);
    if (file.size() < 16 || view.byte(0) != 0x7f || view.byte(1) != 'E' || view.byte(2) != 'L' ||
        view.byte(3) != 'F') {
      return std::nullopt;
    }
    const unsigned elf_class = view.byte(4), data = view.byte(5), version = view.byte(6);
    if ((elf_class != 1 && elf_class != 2) || (data != 1 && data != 2) || version != 1) {
      return std::nullopt;
    }
    view.wide_ = elf_class == 2;
    view.big_endian_ = data == 2;
    if (file.size() < view.header_size()) return std::nullopt;
    return view;
  }

  std::size_t header_size() const { return wide_ ? 64 : 52; }
  std::size_t program_header_size() const { return wide_ ? 56 : 32; }
  std::uint64_t program_header_offset() const { return address(wide_ ? 32 : 28); }
  std::uint32_t program_header_count_field() const { return number(wide_ ? 56 : 44, 2); }
  std::uint64_t section_header_offset() const { return address(wide_ ? 40 : 32); }
  std::uint32_t section_header_count_field() const { return number(wide_ ? 60 : 48, 2); }
  std::size_t section_header_size() const { return wide_ ? 64 : 40; }

  // Whether `count` records of `record` bytes from `offset` lie inside the file.
  bool inside(std::uint64_t offset, std::uint64_t count, std::uint64_t record) const {
    return offset <= file_.size() && count <= (file_.size() - offset) / record;
  }

  // Whether the file claims section headers that do not lie inside it: the loader's ELF
  // library reads them (for the section count at least) and may refuse such a file, which
  // this reader, needing only the program headers, cannot judge.
  // A count field of 0 means the count sits in section header 0's size field.
  bool section_headers_outside() const {
    const std::uint64_t table = section_header_offset();
    if (table == 0) return false;
    if (!inside(table, 1, section_header_size())) return true;
    return !inside(table, section_count(), section_header_size());
  }

  // The program headers, or none when the table does not lie inside the file. A count field
  // of 0xffff means the count sits in section header 0's info field.
  std::optional<std::vector<ProgramHeader>> program_headers() const {
    std::uint64_t count = program_header_count_field();
    if (count == 0xffff) {
      const std::uint64_t sections = section_header_offset();
      if (sections == 0 || !inside(sections, 1, section_header_size())) return std::nullopt;
      // A table of no sections has no section 0 to hold the count.
      if (section_count() == 0) return std::nullopt;
      count = number(sections + (wide_ ? 44 : 28), 4);
      // A count moved to section 0 that is 0 announces a table that is not there.
      if (count == 0) return std::nullopt;
    }
    // A table offset (0: no table) must lie inside the file even for a table of no entries;
    // entries announced without a table are refused.
    const std::uint64_t table = program_header_offset();
    if (table != 0 && table >= file_.size()) return std::nullopt;
    if (table == 0 && count != 0) return std::nullopt;
    if (count != 0 && !inside(table, count, program_header_size())) return std::nullopt;
    std::vector<ProgramHeader> headers;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = table + i * program_header_size();
      headers.push_back(wide_ ? ProgramHeader{number(at, 4), number(at + 8, 8), number(at + 16, 8),
                                              number(at + 32, 8), number(at + 40, 8)}
                              : ProgramHeader{number(at, 4), number(at + 4, 4), number(at + 8, 4),
                                              number(at + 16, 4), number(at + 20, 4)});
    }
    return headers;
  }

 private:
  explicit ElfView(std::span<const std::byte> file) : file_(file) {}

  // The number of section headers; a count field of 0 means the count sits in section header
  // 0's size field. Only for a table whose first entry lies inside the file.
  std::uint64_t section_count() const {
    const std::uint64_t count = section_header_count_field();
    if (count != 0) return count;
    const std::uint64_t table = section_header_offset();
    return wide_ ? number(table + 32, 8) : number(table + 20, 4);
  }

  unsigned byte(std::uint64_t at) const { return static_cast<unsigned>(file_[at]); }
  std::uint64_t number(std::uint64_t at, unsigned width) const {
    std::uint64_t value = 0;
    for (unsigned k = 0; k < width; ++k) {
      const unsigned shift = 8 * (big_endian_ ? width - 1 - k : k);
      value |= std::uint64_t{byte(at + k)} << shift;
    }
    return value;
  }
  std::uint64_t address(std::uint64_t at) const { return number(at, wide_ ? 8 : 4); }

  std::span<const std::byte> file_;
  bool wide_ = false;
  bool big_endian_ = false;
};

}  // namespace zel_fuzz
