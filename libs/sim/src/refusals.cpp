#include "zel_sim/refusals.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace zel_sim {
namespace {

UnclaimedRefusalsHandler handler = nullptr;

bool names(const std::string& refusal, const std::string& expected) {
  return refusal.find(expected) != std::string::npos;
}

}  // namespace

std::vector<std::string> Refusals::take() { return std::exchange(list_, {}); }

void Refusals::expect(std::string substring) { expected_.push_back(std::move(substring)); }

std::vector<std::string> Refusals::unclaimed() const {
  std::vector<std::string> left;
  for (const std::string& refusal : list_) {
    const auto named = [&](const std::string& expected) { return names(refusal, expected); };
    if (std::ranges::none_of(expected_, named)) left.push_back(refusal);
  }
  for (const std::string& expected : expected_) {
    const auto named = [&](const std::string& refusal) { return names(refusal, expected); };
    if (std::ranges::none_of(list_, named)) {
      left.push_back(fmt::format("expected a refusal naming \"{}\"", expected));
    }
  }
  return left;
}

void set_unclaimed_refusals_handler(UnclaimedRefusalsHandler new_handler) { handler = new_handler; }

UnclaimedRefusalsHandler unclaimed_refusals_handler() { return handler; }

}  // namespace zel_sim
