#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "zel_base/os_error.hpp"

namespace reset_memory {

// The whole content of the file at `path`.
std::expected<std::vector<std::byte>, zel_base::OsError> read_file_bytes(const std::string& path);

}  // namespace reset_memory
