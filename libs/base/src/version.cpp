#include "zel_base/version.hpp"

namespace zel_base {

std::string_view version() { return ZEL_VERSION; }
std::string_view source_revision() { return ZEL_SOURCE_REVISION; }

}  // namespace zel_base
