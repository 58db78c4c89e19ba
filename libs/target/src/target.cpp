#include "zel_target/target.hpp"

namespace zel_target {

std::expected<Target, std::string_view> Target::from_str(std::string_view name) {
  if (name == "zel21") return Target(Target::Zel21);
  return std::unexpected(std::string_view("unsupported ZEL target"));
}

}  // namespace zel_target
