#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_sim/sim_power_up.hpp"

namespace zel_driver {
namespace {

TEST(Xb, AddressesAndControlWords) {
  const std::pair<std::size_t, std::uint32_t> addresses[] = {
      {0, 0x5404}, {1, 0x5804}, {7, 0x7004}, {8, 0x1b804}, {9, 0x1bc04}, {15, 0x1d404}};
  for (const auto& [instance, address] : addresses) EXPECT_EQ(xb::address(instance), address);
  const std::pair<std::uint32_t, std::uint32_t> controls[] = {
      {0, 0x2}, {1, 0x20820a}, {0x3f, 0x7fffffa}, {0x40, 0x2}, {0xffffffff, 0x7fffffa}};
  for (const auto& [request_id, word] : controls) EXPECT_EQ(xb::control(request_id), word);
}

// The stores of putting every block to `word`, in instance order.
std::vector<std::string> blocks_to(std::uint32_t primary, std::uint32_t secondary,
                                   std::size_t count = xb::INSTANCES) {
  std::vector<std::string> stores;
  for (std::size_t i = 0; i < count; ++i) {
    stores.push_back(fmt::format("S 0x{:x}=0x{:x}", xb::address(i), i < 8 ? primary : secondary));
  }
  return stores;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ExchangeBufferGuard, HoldsRestoresInStagesAndRestoresAgainAtRelease) {
  OpenedSim opened;
  opened.sim.poke(CCSR, 0xffffffff);
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    opened.sim.poke(xb::address(i), 0x1000 + static_cast<std::uint32_t>(i));
  }
  const std::vector<std::string> restore_all =
      concat({blocks_to(0x2, 0x20820a), {"S 0x2000=0xffffffff", "L 0x2000"}});
  {
    auto guard = ExchangeBufferGuard::create(opened.device);
    ASSERT_TRUE(guard);
    EXPECT_EQ(opened.accesses(), concat({{"L 0x2000"},
                                         blocks_to(0x7fffffa, 0x7fffffa),
                                         {"S 0x2000=0xfffffbfd", "L 0x2000"}}));

    opened.sim.trace().clear();
    ASSERT_TRUE(guard->restore_primary());
    EXPECT_EQ(opened.accesses(), blocks_to(0x2, 0x2, 8));
    EXPECT_EQ(opened.sim.peek(xb::address(8)), 0x7fffffau);
    EXPECT_EQ(opened.sim.peek(CCSR), 0xfffffbfdu);

    opened.sim.trace().clear();
    ASSERT_TRUE(guard->restore_all());
    EXPECT_EQ(opened.accesses(), restore_all);
    opened.sim.trace().clear();
  }
  EXPECT_EQ(opened.accesses(), restore_all);
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    EXPECT_EQ(opened.sim.peek(xb::address(i)), i < 8 ? 0x2u : 0x20820au);
  }
  EXPECT_EQ(opened.sim.peek(CCSR), 0xffffffffu);
}

TEST(ExchangeBufferGuard, MovedFromGuardRestoresNothing) {
  OpenedSim opened;
  {
    auto guard = ExchangeBufferGuard::create(opened.device);
    ASSERT_TRUE(guard);
    EXPECT_EQ(opened.sim.peek(CCSR), zel_sim::CCSR_POWER_UP & ~CCSR_EXCHANGE_BITS);
    ExchangeBufferGuard moved = std::move(*guard);
    auto other = ExchangeBufferGuard::create(opened.device);
    ASSERT_TRUE(other);
    *other = std::move(moved);  // `other`'s own hold is restored here, once
    opened.sim.trace().clear();
  }
  EXPECT_EQ(opened.sim.trace().stored_values(CCSR),
            std::vector<std::uint32_t>{zel_sim::CCSR_POWER_UP});
  EXPECT_EQ(opened.sim.peek(CCSR), zel_sim::CCSR_POWER_UP);
}

}  // namespace
}  // namespace zel_driver
