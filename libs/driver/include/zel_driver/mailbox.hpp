#pragma once

#include <cstdint>

#include "zel_driver/kernel_interface.hpp"

namespace zel_driver {

// Word 0 of the ICU reset request; words 1 to 4 are 0.
inline constexpr std::uint32_t ICU_RESET_REQUEST = 0x4078020e;
inline constexpr MailboxMessage ICU_RESET_MESSAGE{{ICU_RESET_REQUEST, 0, 0, 0, 0}};
// An answer belongs to the request when the upper halves of their words 0 agree; the rest of
// the answer is the ICU's business.
inline constexpr std::uint32_t ICU_RESPONSE_MASK = 0xffff0000;

}  // namespace zel_driver
