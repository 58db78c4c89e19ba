#pragma once

#include <concepts>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

namespace zel_base {

// What every error of the stack offers: a display form for people, a debug form that is
// part of the interface (the tool prints it after "Error: "), and the error that caused it.
class Error {
 public:
  virtual ~Error() = default;
  virtual std::string display() const = 0;
  virtual std::string debug() const = 0;
  // The next error of the chain, or nullptr.
  virtual const Error* cause() const { return nullptr; }
};

// A text in debug form, whole and safe to show on a terminal: in double quotes, with \\ \"
// \n \r \t \0 escaped, other control characters (C0, DEL and C1) written as \u{hex}, and
// each byte that is not part of well-formed UTF-8 as \xHH. Printable text, ASCII or not,
// stays as it is.
std::string debug_quote(std::string_view text);

// Test frameworks and logs print errors in their debug form.
template <class T>
requires std::derived_from<T, Error>
void PrintTo(const T& error, std::ostream* out) { *out << error.debug(); }

// Whether the enumerator `kind` names the alternative `T` of `Variant`: an error's kind() is
// its variant's index cast to its Kind, so the two lists must keep one order.
template <class Variant, class T, auto kind>
inline constexpr bool kind_names =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(kind), Variant>, T>;

// Builds one visitor for std::visit out of several lambdas.
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
// Spelled out for compilers that do not yet deduce aggregate arguments (clang before 17).
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace zel_base

// `{}` formats an error's display form, `{:?}` its debug form.
template <class T>
requires std::derived_from<T, zel_base::Error>
struct fmt::formatter<T> {
  bool debug = false;

  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') {
      debug = true;
      ++it;
    }
    if (it != context.end() && *it != '}') throw fmt::format_error("invalid error format");
    return it;
  }

  auto format(const T& error, fmt::format_context& context) const {
    std::string text = debug ? error.debug() : error.display();
    return fmt::format_to(context.out(), "{}", text);
  }
};
