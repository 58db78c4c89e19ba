#include <cerrno>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/mailbox.hpp"
#include "zel_log/capturing_sink.hpp"

namespace zel_driver {
namespace {

using zel_sim::BringUpRequest;

const std::vector<std::uint64_t> INITIALIZE_REQUESTS = {
    IOCTL_STOP_MONITORING,   IOCTL_MAILBOX,      IOCTL_START_MONITORING,
    IOCTL_ACCUMULATE_ERRORS, IOCTL_NOTIFY_RESET, IOCTL_SET_SECONDARY_ID};

TEST(Initialize, EachCallIssuesTheWholeSequenceAgain) {
  OpenedSim opened;
  zel_log::CapturingSink sink;
  ASSERT_TRUE(opened.device.initialize());
  ASSERT_TRUE(opened.device.initialize());

  std::vector<std::uint64_t> twice = INITIALIZE_REQUESTS;
  twice.insert(twice.end(), INITIALIZE_REQUESTS.begin(), INITIALIZE_REQUESTS.end());
  EXPECT_EQ(opened.sim.trace().ioctl_requests(), twice);
  // Integer arguments 0, the reset request through the mailbox, and ID 0 read through the
  // pointer at the width the request number announces.
  const std::vector<BringUpRequest> once = {
      {IOCTL_STOP_MONITORING, 0},  {IOCTL_MAILBOX, ICU_RESET_REQUEST},
      {IOCTL_START_MONITORING, 0}, {IOCTL_ACCUMULATE_ERRORS, 0},
      {IOCTL_NOTIFY_RESET, 0},     {IOCTL_SET_SECONDARY_ID, 0}};
  std::vector<BringUpRequest> expected = once;
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(opened.sim.bring_up().requests(), expected);
  EXPECT_EQ(opened.sim.bring_up().mailbox_messages(),
            (std::vector{ICU_RESET_MESSAGE.words, ICU_RESET_MESSAGE.words}));
  EXPECT_TRUE(opened.sim.bring_up().monitoring());
  EXPECT_TRUE(opened.sim.trace().accesses().empty());

  ASSERT_EQ(sink.events().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sink.events()[i].message,
              i % 2 == 0 ? "initializing ZEL device" : "ZEL device initialized");
    EXPECT_EQ(sink.events()[i].level, zel_log::Level::Info);
    EXPECT_EQ(sink.events()[i].target, "zel_driver");
    EXPECT_TRUE(sink.events()[i].fields.empty());
  }
}

TEST(Initialize, FirstFailureEndsTheSequence) {
  struct Case {
    const char* name;
    zel_sim::Faults faults;
    std::size_t requests_issued;  // the first ones of INITIALIZE_REQUESTS
    std::string debug;
  };
  const auto io = [](const char* operation) {
    return fmt::format(
        "Io {{ operation: \"{}\", source: Os {{ code: 5, kind: Uncategorized, message: "
        "\"Input/output error\" }} }}",
        operation);
  };
  const std::string unexpected = "Invalid(\"unexpected ICU reset response\")";
  const Case cases[] = {
      {"stop monitoring",
       {.ioctl_failures = {{IOCTL_STOP_MONITORING, EIO}}},
       1,
       io("stop monitoring")},
      {"mailbox", {.ioctl_failures = {{IOCTL_MAILBOX, EIO}}}, 2, io("ICU mailbox transaction")},
      {"wrong upper half", {.mailbox_response = zel_sim::icu::Message{0x4079020e}}, 2, unexpected},
      {"all-zero response", {.mailbox_response = zel_sim::icu::Message{}}, 2, unexpected},
      {"response left untouched", {.mailbox_response_untouched = true}, 2, unexpected},
      {"start monitoring",
       {.ioctl_failures = {{IOCTL_START_MONITORING, EIO}}},
       3,
       io("start monitoring")},
      {"accumulate errors",
       {.ioctl_failures = {{IOCTL_ACCUMULATE_ERRORS, EIO}}},
       4,
       io("accumulate errors")},
      {"notify reset", {.ioctl_failures = {{IOCTL_NOTIFY_RESET, EIO}}}, 5, io("notify reset")},
      {"set secondary ID",
       {.ioctl_failures = {{IOCTL_SET_SECONDARY_ID, EIO, 1}}},
       6,
       io("set secondary ZEL ID")},
  };
  for (const Case& c : cases) {
    OpenedSim opened;
    opened.sim.faults() = c.faults;
    zel_log::CapturingSink sink;
    auto initialized = opened.device.initialize();
    ASSERT_FALSE(initialized) << c.name;
    EXPECT_EQ(initialized.error().debug(), c.debug) << c.name;
    EXPECT_EQ(opened.sim.trace().ioctl_requests(),
              std::vector<std::uint64_t>(INITIALIZE_REQUESTS.begin(),
                                         INITIALIZE_REQUESTS.begin() + c.requests_issued))
        << c.name;
    EXPECT_TRUE(sink.with_message("ZEL device initialized").empty()) << c.name;
  }
}

TEST(Initialize, OnlyTheUpperHalfOfWordZeroDecides) {
  OpenedSim opened;
  opened.sim.faults().mailbox_response = zel_sim::icu::Message{0x4078ffff, 1, 2, 3, 4};
  EXPECT_TRUE(opened.device.initialize());
}

TEST(Mailbox, SendsTheRequestAndReturnsTheResponseAsTheKernelLeftIt) {
  OpenedSim opened;
  const MailboxMessage answer{{0xdeadbeef, 1, 2, 3, 0xffffffff}};
  opened.sim.faults().mailbox_response = answer.words;
  // Outside a bring-up sequence, and a request the ICU does not know.
  opened.sim.expect_refusal("mailbox out of order");
  opened.sim.expect_refusal("ICU mailbox: unknown request [0x12345678, 0x5, 0x6, 0x7, 0x8]");
  const MailboxMessage request{{0x12345678, 5, 6, 7, 8}};
  EXPECT_EQ(opened.device.mailbox(request), answer);
  EXPECT_EQ(opened.sim.bring_up().mailbox_messages(), std::vector{request.words});
}

}  // namespace
}  // namespace zel_driver
