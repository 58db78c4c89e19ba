#include <cerrno>

#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_base/little_endian.hpp"
#include "zel_sim/protocol/icu.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"

namespace zel_sim {
namespace {

using namespace kernel;
using testing::BareHost;
using testing::Record;

Record<MAILBOX_MESSAGE_BYTES> message(const icu::Message& words) {
  Record<MAILBOX_MESSAGE_BYTES> record;
  for (std::size_t i = 0; i < words.size(); ++i) record.u32(4 * i, words[i]);
  return record;
}

class SimKernelRequests : public ::testing::Test {
 protected:
  SimDevice sim;
  BareHost host{sim};
};

// The bring-up sequence in order; then out of order, refused but served.
TEST_F(SimKernelRequests, BringUpComesAsOneSequence) {
  Record<MAILBOX_MESSAGE_BYTES> sent = message(icu::RESET_MESSAGE), answer;
  Record<MAILBOX_RECORD_BYTES> mailbox;
  mailbox.address(MAILBOX_RECORD_SENT, &sent).address(MAILBOX_RECORD_RECEIVED, &answer);
  const Record<SECONDARY_ID_BYTES> id;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(host.request(STOP_MONITORING, 0), 0);
    EXPECT_FALSE(sim.bring_up().monitoring());
    EXPECT_EQ(host.request_with(MAILBOX, mailbox), 0);
    EXPECT_EQ(host.request(START_MONITORING, 0), 0);
    EXPECT_EQ(host.request(ACCUMULATE_ERRORS, 0), 0);
    EXPECT_EQ(host.request(NOTIFY_RESET, 0), 0);
    EXPECT_EQ(host.request_with(SET_SECONDARY_ID, id), 0);
    EXPECT_TRUE(sim.bring_up().monitoring());
  }
  EXPECT_EQ(answer.bytes, sent.bytes);  // the ICU echoes its reset request
  EXPECT_EQ(sim.bring_up().requests().size(), 12u);
  EXPECT_TRUE(sim.refusals().empty());

  EXPECT_EQ(host.request(STOP_MONITORING, 0), 0);
  EXPECT_EQ(host.request(START_MONITORING, 0), 0);
  EXPECT_EQ(host.request_with(MAILBOX, mailbox), 0);
  EXPECT_EQ(sim.take_refusals(),
            (std::vector<std::string>{"kernel: start-monitoring out of order, expected mailbox",
                                      "kernel: mailbox out of order, expected accumulate-errors"}));
}

TEST_F(SimKernelRequests, MalformedArgumentsAreRefusedAndFail) {
  struct Case {
    unsigned long request;
    unsigned long argument;
    int error;
    const char* refusal;
  };
  Record<MAILBOX_MESSAGE_BYTES> sent = message(icu::RESET_MESSAGE);
  Record<MAILBOX_RECORD_BYTES> no_answer;
  no_answer.address(MAILBOX_RECORD_SENT, &sent);
  // The ID is read at 8 bytes: a 32-bit 0 followed by anything else is not ID 0.
  Record<SECONDARY_ID_BYTES> wide_id;
  wide_id.u32(4, 7);
  Record<ATTACH_RECORD_BYTES> no_address, no_size;
  no_address.u32(ATTACH_RECORD_SIZE, 64);
  no_size.address(ATTACH_RECORD_ADDRESS, &sent);
  const auto at = [](const auto& record) { return reinterpret_cast<std::uintptr_t>(&record); };
  const Case cases[] = {
      {NOTIFY_RESET, 1, EINVAL, "kernel: notify-reset with argument 0x1, expected 0"},
      {SET_SECONDARY_ID, 0, EFAULT, "kernel: set-secondary-id without an ID"},
      {SET_SECONDARY_ID, at(wide_id), EINVAL, "kernel: secondary ID 0x700000000, expected 0"},
      {MAILBOX, 0, EFAULT, "kernel: mailbox without a record"},
      {MAILBOX, at(no_answer), EFAULT, "kernel: mailbox record without a message or an answer"},
      {ATTACH_BUFFER, 0, EFAULT, "kernel: attach-buffer without a record"},
      {ATTACH_BUFFER, at(no_address), EFAULT, "kernel: attach-buffer record with address 0"},
      {ATTACH_BUFFER, at(no_size), EINVAL, "kernel: attach-buffer record with size 0"},
      {DETACH_BUFFER, 3, EINVAL, "kernel: detach-buffer of index 3, not attached"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.request(c.request, c.argument), c.error) << c.refusal;
    EXPECT_EQ(sim.take_refusals(), std::vector<std::string>{c.refusal});
  }
  EXPECT_TRUE(sim.bring_up().requests().empty());
}

TEST_F(SimKernelRequests, IcuAnswersOnlyItsResetRequest) {
  host.request(STOP_MONITORING, 0);
  Record<MAILBOX_MESSAGE_BYTES> sent = message({icu::RESET_REQUEST, 0, 1, 0, 0});
  Record<MAILBOX_MESSAGE_BYTES> answer = message({9, 9, 9, 9, 9});
  Record<MAILBOX_RECORD_BYTES> mailbox;
  mailbox.address(MAILBOX_RECORD_SENT, &sent).address(MAILBOX_RECORD_RECEIVED, &answer);
  ASSERT_EQ(host.request_with(MAILBOX, mailbox), 0);
  EXPECT_EQ(answer.bytes, message({}).bytes);
  EXPECT_EQ(
      sim.take_refusals(),
      std::vector<std::string>{"ICU mailbox: unknown request [0x4078020e, 0x0, 0x1, 0x0, 0x0]"});

  // Faults: an answer of the fault's choosing, or none written at all.
  host.request(STOP_MONITORING, 0);
  sent = message(icu::RESET_MESSAGE);
  sim.faults().mailbox_response = icu::Message{0x4079020e};
  ASSERT_EQ(host.request_with(MAILBOX, mailbox), 0);
  EXPECT_EQ(answer.u32(0), 0x4079020eu);
  host.request(STOP_MONITORING, 0);
  sim.faults().mailbox_response_untouched = true;
  answer = message({9});
  ASSERT_EQ(host.request_with(MAILBOX, mailbox), 0);
  EXPECT_EQ(answer.u32(0), 9u);
  EXPECT_EQ(sim.fault_firings(),
            (FaultFirings{.mailbox_response = 1, .mailbox_response_untouched = 1}));
}

TEST_F(SimKernelRequests, AttachmentsAreAccountedByIndex) {
  const std::byte memory[64] = {};
  const auto address = reinterpret_cast<std::uintptr_t>(memory);
  EXPECT_EQ(host.attach_buffer(2, memory), 0);
  EXPECT_EQ(host.attach_buffer(2, std::span(memory).first(32)), EBUSY);
  EXPECT_EQ(sim.take_refusals(),
            std::vector<std::string>{"kernel: attach-buffer of index 2, already attached"});
  EXPECT_EQ(sim.attachments(), (std::vector<Attachment>{{2, address, 64}}));
  EXPECT_EQ(sim.attached_memory(2)->data(), memory);
  EXPECT_EQ(sim.attached_memory(2)->size(), 64u);

  EXPECT_EQ(host.request(DETACH_BUFFER, 2), 0);
  EXPECT_TRUE(sim.attachments().empty());
}

}  // namespace
}  // namespace zel_sim
