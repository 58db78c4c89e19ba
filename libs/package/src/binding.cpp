#include "zel_package/binding.hpp"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

namespace zel_package {

std::expected<std::uint64_t, PackageError> Binding::byte_len() const {
  std::uint64_t length = 0;
  for (const RegionSlice& slice : slices) {
    if (slice.size > std::numeric_limits<std::uint64_t>::max() - slice.file_offset) {
      return std::unexpected(
          PackageError::invalid(fmt::format("binding {} file range overflows", name)));
    }
    length = std::max(length, slice.file_offset + slice.size);
  }
  return length;
}

}  // namespace zel_package
