#pragma once

#include <array>
#include <cstdint>

// The ICU behind the kernel's mailbox: it knows one request, its reset.
namespace zel_sim::icu {

using Message = std::array<std::uint32_t, 5>;

inline constexpr std::uint32_t RESET_REQUEST = 0x4078020e;
inline constexpr Message RESET_MESSAGE{RESET_REQUEST, 0, 0, 0, 0};
// An answer belongs to a request when the upper halves of their words 0 agree; the host looks
// at nothing else.
inline constexpr std::uint32_t ANSWER_MASK = 0xffff0000;

}  // namespace zel_sim::icu
