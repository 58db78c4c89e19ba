#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "reset_memory/run_error.hpp"

namespace reset_memory {

// The largest bootloader file read. The loader keeps at most 4 KiB of one segment; the ELF
// headers and whatever else a bootloader file carries fit many times over in this, and
// anything larger (an endless stream, say) is refused before it exhausts the host.
inline constexpr std::size_t BOOTLOADER_FILE_LIMIT = 16 * 1024 * 1024;

// The configuration image at `path`, as the replay should judge it. The run reads the image
// twice and must get the same bytes both times, so it must be a regular file; anything else
// is refused by name before it is read. The header is read first: a short image, or one
// without the magic, is handed over as it is; otherwise only the bytes its record count calls
// for are read, plus one that shows an excess. Memory stays within the size the image
// declares for itself.
std::expected<std::vector<std::byte>, RunError> read_configuration_image(const std::string& path);

// The whole bootloader file at `path`, in memory of its own size (plus one byte); refused
// once it is larger than BOOTLOADER_FILE_LIMIT.
std::expected<std::vector<std::byte>, RunError> read_bootloader_file(const std::string& path);

}  // namespace reset_memory
