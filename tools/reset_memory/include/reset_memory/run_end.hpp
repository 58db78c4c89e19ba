#pragma once

#include <expected>
#include <variant>

#include "reset_memory/check_failure.hpp"
#include "reset_memory/run_error.hpp"

namespace reset_memory {

// How a run ends early: an error (exit 1) or a failed check (exit 101).
using RunEnd = std::variant<RunError, CheckFailure>;
using Step = std::expected<void, RunEnd>;

}  // namespace reset_memory
