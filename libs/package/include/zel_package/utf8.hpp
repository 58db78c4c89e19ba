#pragma once

// The package's texts follow the UTF-8 rules of zel_base, which quotes texts with them.
#include "zel_base/utf8.hpp"

namespace zel_package {

using zel_base::Utf8Error;
using zel_base::validate_utf8;

}  // namespace zel_package
