#include "zel_target/target.hpp"

namespace zel_target {

std::expected<Target, std::string_view> Target::from_str(std::string_view name) {
  if (const Target zel21(Target::Zel21); name == zel21.name()) return zel21;
  return std::unexpected(std::string_view("unsupported ZEL target"));
}

}  // namespace zel_target
