#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/buffer_attachments.hpp"
#include "zel_driver/host_buffer.hpp"
#include "zel_driver/system_backend.hpp"

namespace zel_driver {
namespace {

bool mapped(const std::byte* address) {
  return ::msync(const_cast<std::byte*>(address), 1, MS_ASYNC) == 0;
}

TEST(HostBuffer, TransportSizedBufferStartsZeroAndUnmapsOnce) {
  auto buffer = HostBuffer::create(system_backend(), 0x2842000);
  ASSERT_TRUE(buffer) << buffer.error().debug();
  EXPECT_EQ(buffer->size(), 0x2842000u);
  const std::span<std::byte> bytes = buffer->bytes_mut();
  ASSERT_EQ(bytes.size(), 0x2842000u);
  EXPECT_TRUE(
      std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; }));

  const std::byte* address = buffer->data();
  {
    HostBuffer moved = std::move(*buffer);
    HostBuffer assigned = std::move(moved);
    EXPECT_EQ(assigned.data(), address);
    assigned.bytes_mut().back() = std::byte{1};
  }
  EXPECT_FALSE(mapped(address));
}

TEST(HostBuffer, RefusedMappingIsIo) {
  auto empty = HostBuffer::create(system_backend(), 0);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().debug(),
            "Io { operation: \"allocate pinned host buffer\", source: Os { code: 22, kind: "
            "InvalidInput, message: \"Invalid argument\" } }");
}

TEST(AttachBuffer, SizeChecksComeBeforeTheRequest) {
  OpenedSim opened;
  const std::byte memory[16] = {};
  EXPECT_EQ(opened.device.attach_buffer(0, memory, std::size_t{1} << 32).error().debug(),
            "Invalid(\"host buffer too large\")");
  EXPECT_EQ(opened.device.attach_buffer(0, memory, 0).error().debug(),
            "Invalid(\"empty host buffer\")");
  EXPECT_TRUE(opened.sim.trace().ioctl_requests().empty());

  // The kernel is handed the largest size that fits, as it is.
  ASSERT_TRUE(opened.device.attach_buffer(7, memory, 0xffffffff));
  const auto address = reinterpret_cast<std::uintptr_t>(memory);
  EXPECT_EQ(opened.sim.attachments(), (std::vector<zel_sim::Attachment>{{7, address, 0xffffffff}}));

  opened.sim.expect_refusal("attach-buffer of index 7, already attached");
  opened.sim.expect_refusal("detach-buffer of index 7, not attached");
  auto twice = opened.device.attach_buffer(7, memory, 16);
  EXPECT_EQ(twice.error().display(), "attach host buffer: Device or resource busy (os error 16)");
  opened.device.detach_buffer(7);
  opened.device.detach_buffer(7);  // unknown by now: refused by the kernel, reported to nobody
  EXPECT_TRUE(opened.sim.attachments().empty());
}

TEST(BufferAttachments, DetachesNewestFirstAndOnlyWhatItAttached) {
  OpenedSim opened;
  auto buffer = HostBuffer::create(opened.sim, 4096);
  ASSERT_TRUE(buffer);
  {
    BufferAttachments attachments(opened.device);
    for (const std::uint32_t index : {0u, 3u, 1u}) {
      ASSERT_TRUE(attachments.attach(index, buffer->data(), buffer->size()));
    }
    opened.sim.expect_refusal("attach-buffer of index 3, already attached");
    EXPECT_FALSE(attachments.attach(3, buffer->data(), buffer->size()));
    EXPECT_FALSE(attachments.attach(4, buffer->data(), 0));
    EXPECT_EQ(attachments.indices(), (std::vector<std::uint32_t>{0, 3, 1}));
    EXPECT_EQ(opened.sim.attachments().size(), 3u);

    // The owner moves; only the last one detaches, once.
    BufferAttachments moved = std::move(attachments);
    BufferAttachments assigned(opened.device);
    assigned = std::move(moved);
    opened.sim.trace().clear();
  }
  std::vector<std::uint64_t> detached;
  for (const zel_sim::TraceRecord& r : opened.sim.trace().records()) {
    EXPECT_EQ(r.request, IOCTL_DETACH_BUFFER);
    detached.push_back(*r.value);
  }
  EXPECT_EQ(detached, (std::vector<std::uint64_t>{1, 3, 0}));
  EXPECT_TRUE(opened.sim.attachments().empty());
}

TEST(BufferAttachments, DeviceReadsTheBufferThroughItsAddress) {
  OpenedSim opened;
  auto buffer = HostBuffer::create(opened.sim, 8192);
  ASSERT_TRUE(buffer);
  BufferAttachments attachments(opened.device);
  ASSERT_TRUE(attachments.attach(0, buffer->data(), buffer->size()));
  buffer->bytes_mut()[8191] = std::byte{0x5a};
  const auto seen = opened.sim.attached_memory(0);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->size(), 8192u);
  EXPECT_EQ((*seen)[8191], std::byte{0x5a});
  EXPECT_FALSE(opened.sim.attached_memory(1));
}

}  // namespace
}  // namespace zel_driver
