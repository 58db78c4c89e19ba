#include "bare_host.hpp"

#include <sys/mman.h>

#include <array>
#include <cerrno>

#include <gtest/gtest.h>

#include "zel_base/little_endian.hpp"
#include "zel_sim/protocol/autoloader_fields.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/protocol/registers.hpp"

namespace zel_sim::testing {

BareHost::BareHost(SimDevice& sim)
    : sim(sim),
      fd(sim.open("/dev/zel0", kernel::OPEN_FLAGS)),
      config(static_cast<volatile std::uint32_t*>(sim.map(fd, kernel::CONFIG_SPACE_BYTES))) {
  EXPECT_NE(config, MAP_FAILED);
  EXPECT_EQ(request(kernel::ATTACH, 0), 0);
  EXPECT_EQ(request(kernel::SET_ID, 0), 0);
}

BareHost::~BareHost() {
  sim.unmap(const_cast<std::uint32_t*>(config), kernel::CONFIG_SPACE_BYTES);
  sim.close(fd);
}

std::uint32_t BareHost::read(std::uint32_t offset) { return sim.load(config + offset / 4); }

void BareHost::write(std::uint32_t offset, std::uint32_t value) {
  sim.store(config + offset / 4, value);
}

std::uint32_t BareHost::read_tile(std::uint32_t tile, std::uint32_t index) {
  return read(reg::TILE_DEBUG_BASE + reg::TILE_DEBUG_STRIDE * tile + 4 * index);
}

void BareHost::write_tile(std::uint32_t tile, std::uint32_t index, std::uint32_t value) {
  write(reg::TILE_DEBUG_BASE + reg::TILE_DEBUG_STRIDE * tile + 4 * index, value);
}

int BareHost::request(unsigned long number, unsigned long argument) {
  return sim.ioctl(fd, number, argument) == 0 ? 0 : errno;
}

int BareHost::attach_buffer(std::uint32_t index, std::span<const std::byte> memory) {
  Record<kernel::ATTACH_RECORD_BYTES> record;
  record.u32(kernel::ATTACH_RECORD_INDEX, index)
      .u32(kernel::ATTACH_RECORD_SIZE, static_cast<std::uint32_t>(memory.size()))
      .address(kernel::ATTACH_RECORD_ADDRESS, memory.data());
  return request_with(kernel::ATTACH_BUFFER, record);
}

bool BareHost::autoloader_done(std::chrono::nanoseconds limit) {
  const auto deadline = sim.now() + limit;
  while ((read(reg::AUTOLOADER_CONTROL) & autoloader::BUSY) != 0) {
    if (sim.now() >= deadline) return false;
    sim.sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

void BareHost::initialize_tiles(std::uint32_t tiles, std::span<const std::byte> prefix) {
  using namespace std::chrono_literals;
  const auto words = static_cast<std::uint32_t>(prefix.size() / 4);
  const auto kib = static_cast<std::uint32_t>(prefix.size() / 1024);
  const std::uint32_t load_pointer = (words - 1) & autoloader::LOAD_POINTER_MASK;
  write(reg::AUTOLOADER_CONTROL, 0);
  for (std::uint32_t i = 0; i < words; ++i) {
    write(reg::AUTOLOADER_DATA, *zel_base::load_u32_le(prefix, 4 * i));
  }
  write(reg::AUTOLOADER_ZONE, autoloader::ZONE_BIT | static_cast<std::uint32_t>(prefix.size()));
  write(reg::AUTOLOADER_CONTROL, load_pointer | autoloader::FIRST_COMMAND | autoloader::BUSY);
  EXPECT_TRUE(autoloader_done(2s));
  write(reg::AUTOLOADER_ZONE, autoloader::WINDOW_ZONE | kib);
  write(reg::AUTOLOADER_CONTROL,
        (tiles - 1) << autoloader::LAST_TILE_SHIFT | autoloader::BUSY | load_pointer);
  EXPECT_TRUE(autoloader_done(2s));
}

}  // namespace zel_sim::testing
