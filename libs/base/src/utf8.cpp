#include "zel_base/utf8.hpp"

#include <cstring>

#include <fmt/format.h>

#include "zel_base/try.hpp"

namespace zel_base {

std::string Utf8Error::display() const {
  if (error_len_) {
    return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len_,
                       valid_up_to_);
  }
  return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to_);
}

std::string Utf8Error::debug() const {
  std::string len = error_len_ ? fmt::format("Some({})", *error_len_) : std::string("None");
  return fmt::format("Utf8Error {{ valid_up_to: {}, error_len: {} }}", valid_up_to_, len);
}

namespace {

constexpr bool is_continuation(unsigned char byte) { return (byte & 0xc0) == 0x80; }

// The allowed range of the byte after a lead byte; the rest must be plain continuations.
struct SecondByteRange {
  unsigned char low;
  unsigned char high;
};

constexpr SecondByteRange second_byte_range(unsigned char lead) {
  switch (lead) {
    case 0xe0:
      return {0xa0, 0xbf};  // no overlong three-byte forms
    case 0xed:
      return {0x80, 0x9f};  // no surrogates
    case 0xf0:
      return {0x90, 0xbf};  // no overlong four-byte forms
    case 0xf4:
      return {0x80, 0x8f};  // nothing above U+10FFFF
    default:
      return {0x80, 0xbf};
  }
}

// The length of a sequence starting with `lead`, or 0 when no sequence starts with it.
constexpr std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return 2;
  if (lead >= 0xe0 && lead <= 0xef) return 3;
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  return 0;
}

// The payload bits of the lead byte of a sequence of `length` bytes.
constexpr char32_t lead_bits(unsigned char lead, std::size_t length) {
  constexpr unsigned char masks[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  return lead & masks[length];
}

bool eight_ascii_bytes(const unsigned char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

}  // namespace

[[nodiscard]] std::expected<Utf8Char, Utf8Error> decode_utf8_at(std::string_view text,
                                                                std::size_t index) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char lead = bytes[index];
  const std::size_t length = sequence_length(lead);
  if (length == 0) return std::unexpected(Utf8Error(index, 1));
  const SecondByteRange range = second_byte_range(lead);
  char32_t code_point = lead_bits(lead, length);
  for (std::size_t k = 1; k < length; ++k) {
    if (index + k >= text.size()) return std::unexpected(Utf8Error(index, std::nullopt));
    const unsigned char byte = bytes[index + k];
    const bool valid = k == 1 ? (byte >= range.low && byte <= range.high) : is_continuation(byte);
    if (!valid) return std::unexpected(Utf8Error(index, static_cast<std::uint8_t>(k)));
    code_point = code_point << 6 | (byte & 0x3f);
  }
  return Utf8Char{code_point, length};
}

[[nodiscard]] std::expected<void, Utf8Error> validate_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t index = 0;
  while (index < text.size()) {
    if (index + 8 <= text.size() && eight_ascii_bytes(bytes + index)) {
      index += 8;
      continue;
    }
    ZEL_TRY_ASSIGN(const Utf8Char decoded, decode_utf8_at(text, index));
    index += decoded.length;
  }
  return {};
}

}  // namespace zel_base
