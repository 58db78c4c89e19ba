#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "zel_driver/kernel_interface.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace zel_driver;

class SimKernelRequests : public ::testing::Test {
 protected:
  void SetUp() override { fd = sim.open("/dev/zel0", O_RDWR); }
  void TearDown() override { sim.close(fd); }

  // The errno of a failing request, 0 for success.
  int request(unsigned long number, unsigned long argument) {
    return sim.ioctl(fd, number, argument) == 0 ? 0 : errno;
  }
  template <class T>
  static unsigned long address(const T& record) {
    return reinterpret_cast<std::uintptr_t>(&record);
  }

  SimDevice sim;
  int fd = -1;
};

TEST_F(SimKernelRequests, RecordsAreReadThroughTheirPointers) {
  EXPECT_EQ(request(IOCTL_SET_SECONDARY_ID, 0), EFAULT);
  EXPECT_EQ(request(IOCTL_MAILBOX, 0), EFAULT);
  EXPECT_EQ(request(IOCTL_ATTACH_BUFFER, 0), EFAULT);
  const MailboxMessage message{{0x1234}};
  MailboxArgument no_response{.sent = address(message), .received = 0};
  EXPECT_EQ(request(IOCTL_MAILBOX, address(no_response)), EFAULT);

  const std::uint64_t id = 0x0000000700000005;
  EXPECT_EQ(request(IOCTL_SET_SECONDARY_ID, address(id)), 0);
  EXPECT_EQ(sim.bring_up().requests().back().value, id);
  EXPECT_TRUE(sim.bring_up().monitoring());
  EXPECT_EQ(request(IOCTL_STOP_MONITORING, 0), 0);
  EXPECT_FALSE(sim.bring_up().monitoring());
}

TEST_F(SimKernelRequests, IcuAnswersOnlyItsResetRequest) {
  MailboxMessage response{{9, 9, 9, 9, 9}};
  const MailboxMessage reset{{0x4078020e}};
  const MailboxArgument argument{.sent = address(reset), .received = address(response)};
  ASSERT_EQ(request(IOCTL_MAILBOX, address(argument)), 0);
  EXPECT_EQ(response, reset);

  const MailboxMessage unknown{{0x1234}};
  const MailboxArgument asking{.sent = address(unknown), .received = address(response)};
  ASSERT_EQ(request(IOCTL_MAILBOX, address(asking)), 0);
  EXPECT_EQ(response, MailboxMessage{});
  EXPECT_EQ(sim.refusals(), std::vector<std::string>{"ICU mailbox: unknown request 0x1234"});

  sim.faults().mailbox_response_untouched = true;
  response = MailboxMessage{{9}};
  ASSERT_EQ(request(IOCTL_MAILBOX, address(argument)), 0);
  EXPECT_EQ(response, MailboxMessage{{9}});
}

TEST_F(SimKernelRequests, AttachmentsAreAccountedByIndex) {
  const std::byte memory[64] = {};
  const auto record = [&](std::uint32_t index, std::uint32_t size) {
    return AttachBufferData{.index = index, .size = size, .address = address(memory)};
  };
  const AttachBufferData first = record(2, 64), same_index = record(2, 32), empty = record(3, 0);
  AttachBufferData nowhere = record(4, 64);
  nowhere.address = 0;
  EXPECT_EQ(request(IOCTL_ATTACH_BUFFER, address(first)), 0);
  EXPECT_EQ(request(IOCTL_ATTACH_BUFFER, address(same_index)), EBUSY);
  EXPECT_EQ(request(IOCTL_ATTACH_BUFFER, address(empty)), EINVAL);
  EXPECT_EQ(request(IOCTL_ATTACH_BUFFER, address(nowhere)), EFAULT);
  EXPECT_EQ(sim.attachments(), (std::vector<Attachment>{{2, address(memory), 64}}));
  EXPECT_EQ(sim.attached_memory(2)->data(), memory);

  EXPECT_EQ(request(IOCTL_DETACH_BUFFER, 3), EINVAL);
  EXPECT_EQ(request(IOCTL_DETACH_BUFFER, 2), 0);
  EXPECT_EQ(request(IOCTL_DETACH_BUFFER, 2), EINVAL);
  EXPECT_TRUE(sim.attachments().empty());
}

}  // namespace
}  // namespace zel_sim
