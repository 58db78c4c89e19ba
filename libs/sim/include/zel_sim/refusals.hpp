#pragma once

#include <string>
#include <vector>

namespace zel_sim {

// Every departure from the protocol that the simulated kernel or device noticed and refused,
// each naming what was wrong, in order; and what the one watching said it expects. A refusal
// nobody expected or took is a fault of the stack that the run or test must not pass over.
class Refusals {
 public:
  void add(std::string what) { list_.push_back(std::move(what)); }
  const std::vector<std::string>& list() const { return list_; }

  // Hands over the refusals so far: the caller deals with them.
  std::vector<std::string> take();
  // Refusals whose text contains `substring` are expected; at least one must come.
  void expect(std::string substring);

  // What nobody dealt with: each refusal no expectation covers, and each expectation that
  // covered none ("expected a refusal naming \"...\"").
  std::vector<std::string> unclaimed() const;

 private:
  std::vector<std::string> list_;
  std::vector<std::string> expected_;
};

// Told of what a simulated device leaves unclaimed when it goes away. None by default; a test
// harness installs one that fails the test the device ran in.
using UnclaimedRefusalsHandler = void (*)(const std::vector<std::string>& unclaimed);
void set_unclaimed_refusals_handler(UnclaimedRefusalsHandler handler);
UnclaimedRefusalsHandler unclaimed_refusals_handler();

}  // namespace zel_sim
