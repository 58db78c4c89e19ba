#pragma once

#include <array>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "zel_base/error.hpp"

namespace zel_base {

// How an error shows one of its variants: the debug form `name(inner)` and the display form
// `prefix: inner`, inner being the variant's own form. An empty name or prefix shows the
// variant's own form alone, for a variant that says everything itself.
struct VariantForm {
  std::string_view name;
  std::string_view prefix;
};

// The display, debug and cause of an error that is one of several variants. A variant is an
// Error; a record with display(), debug() and cause() of its own; or a record with a `text`,
// shown as it is and quoted in the debug form. `Derived` has `variant()` and a public
// `FORMS`, one VariantForm per alternative in the variant's order.
template <class Derived>
class VariantError : public Error {
 public:
  std::string display() const override {
    return show([](const VariantForm& form, const auto& variant) {
      const std::string inner = display_of(variant);
      return form.prefix.empty() ? inner : fmt::format("{}: {}", form.prefix, inner);
    });
  }

  std::string debug() const override {
    return show([](const VariantForm& form, const auto& variant) {
      const std::string inner = debug_of(variant);
      return form.name.empty() ? inner : fmt::format("{}({})", form.name, inner);
    });
  }

  // A wrapped Error; for a variant shown alone, the cause it names itself; a text has none.
  const Error* cause() const override {
    return show([](const VariantForm& form, const auto& variant) -> const Error* {
      using Variant = std::remove_cvref_t<decltype(variant)>;
      if constexpr (std::derived_from<Variant, Error>) {
        return form.name.empty() ? variant.cause() : &variant;
      } else if constexpr (requires { variant.cause(); }) {
        return variant.cause();
      } else {
        return nullptr;
      }
    });
  }

 private:
  template <class Show>
  auto show(Show show_variant) const {
    const auto& variant = static_cast<const Derived&>(*this).variant();
    static_assert(Derived::FORMS.size() ==
                  std::variant_size_v<std::remove_cvref_t<decltype(variant)>>);
    const VariantForm& form = Derived::FORMS[variant.index()];
    return std::visit([&](const auto& alternative) { return show_variant(form, alternative); },
                      variant);
  }

  template <class Variant>
  static std::string display_of(const Variant& variant) {
    if constexpr (requires { variant.display(); }) {
      return variant.display();
    } else {
      return variant.text;
    }
  }

  template <class Variant>
  static std::string debug_of(const Variant& variant) {
    if constexpr (requires { variant.debug(); }) {
      return variant.debug();
    } else {
      return debug_quote(variant.text);
    }
  }
};

}  // namespace zel_base
