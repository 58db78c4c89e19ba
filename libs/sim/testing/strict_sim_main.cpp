// The main of every test binary that runs on the simulated device: a device that goes away
// with refusals nobody expected or took fails the test it ran in, wherever the test made it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zel_sim/refusals.hpp"

namespace {

void fail_the_test(const std::vector<std::string>& unclaimed) {
  for (const std::string& refusal : unclaimed) {
    ADD_FAILURE() << "the simulated device refused: " << refusal;
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  zel_sim::set_unclaimed_refusals_handler(fail_the_test);
  return RUN_ALL_TESTS();
}
