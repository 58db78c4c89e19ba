#include "reset_memory/run_error.hpp"

namespace reset_memory {

using zel_base::Overloaded;

std::string RunError::display() const {
  return std::visit(Overloaded{
                        [](const Text& text) { return text.text; },
                        [](const auto& error) { return error.display(); },
                    },
                    variant_);
}

std::string RunError::debug() const {
  return std::visit(Overloaded{
                        [](const Text& text) { return zel_base::debug_quote(text.text); },
                        [](const auto& error) { return error.debug(); },
                    },
                    variant_);
}

}  // namespace reset_memory
