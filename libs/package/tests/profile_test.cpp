#include <capnp/any.h>
#include <capnp/message.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "zel_package/profile.hpp"

namespace zel_package {
namespace {

TEST(ProfileEnums, ExactTableLookups) {
  EXPECT_EQ(step_kind_from_value(0), StepKind::Exchange);
  EXPECT_EQ(step_kind_from_value(1), StepKind::Compute);
  EXPECT_EQ(step_kind_from_value(2), StepKind::Synchronization);
  EXPECT_EQ(step_kind_from_value(3), StepKind::Idle);
  EXPECT_EQ(exchange_activity_kind_from_value(0), ExchangeActivityKind::Send);
  EXPECT_EQ(exchange_activity_kind_from_value(1), ExchangeActivityKind::Receive);
  EXPECT_EQ(exchange_activity_kind_from_value(2), ExchangeActivityKind::PartnerBusy);
  for (std::uint16_t value : {4, 0x100, 0xffff}) {
    EXPECT_EQ(step_kind_from_value(value).error().value(), value);
  }
  for (std::uint16_t value : {3, 0xffff}) {
    EXPECT_EQ(exchange_activity_kind_from_value(value).error().value(), value);
  }
  // The in-memory values are the schema's.
  EXPECT_EQ(static_cast<std::uint16_t>(wire::StepKind::IDLE), 3);
  EXPECT_EQ(static_cast<std::uint16_t>(wire::ExchangeActivityKind::PARTNER_BUSY), 2);
}

// Reads a step that `build` wrote into a fresh message.
std::expected<ProfileStep, PackageError> read_built(
    const std::function<void(wire::ProfileStep::Builder)>& build) {
  capnp::MallocMessageBuilder message;
  build(message.initRoot<wire::ProfileStep>());
  return ProfileStep::read(message.getRoot<wire::ProfileStep>().asReader());
}

TEST(ProfileStepRead, CopiesEveryField) {
  const auto step = read_built([](wire::ProfileStep::Builder b) {
    b.setLocalIndex(3);
    b.setPhase(4);
    b.setEpoch(5);
    b.setOperation("matmul");
    b.setKind(wire::StepKind::COMPUTE);
    b.setKernel("mm_kernel");
    auto metadata = b.initMetadata(2);
    metadata[0].setName("k");
    metadata[0].setValue("1");
    metadata[1].setName("k");
    metadata[1].setValue("2");
    auto activity = b.initExchangeActivities(1)[0];
    activity.setKind(wire::ExchangeActivityKind::PARTNER_BUSY);
    activity.setFanout(0xfffe);
    activity.setStartCycle(100);
    activity.setEndCycle(200);
    activity.setPaired(true);
    b.setExchangeEventCycles(77);
  });
  const ProfileStep expected{
      .local_index = 3,
      .phase = 4,
      .epoch = 5,
      .operation = "matmul",
      .kind = StepKind::Compute,
      .kernel = "mm_kernel",
      .metadata = {{"k", "1"}, {"k", "2"}},  // repeated names are all kept, in order
      .exchange_activities = {{0xfffe, true, ExchangeActivityKind::PartnerBusy, 100, 200}},
      .exchange_event_cycles = 77,
  };
  EXPECT_EQ(step, expected);
}

TEST(ProfileStepRead, ShortStructsReadAsDefaults) {
  capnp::MallocMessageBuilder message;
  // One data word (no kind), no texts, and an activity without any data section.
  auto step = message.getRoot<capnp::AnyPointer>().initAsAnyStruct(1, 4);
  step.getDataSection()[0] = 9;
  step.getPointerSection()[3].initAsListOfAnyStruct(0, 0, 1);
  const auto read = ProfileStep::read(message.getRoot<wire::ProfileStep>().asReader());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->local_index, 9u);
  EXPECT_EQ(read->kind, StepKind::Exchange);
  EXPECT_TRUE(read->operation.empty() && read->kernel.empty() && read->metadata.empty());
  EXPECT_EQ(read->exchange_activities, std::vector<ProfileExchangeActivity>{{}});
}

TEST(ProfileStepRead, Failures) {
  struct Case {
    const char* name;
    std::function<void(wire::ProfileStep::Builder)> build;
    const char* debug;
  };
  const Case cases[] = {
      {"step kind 4", [](auto b) { b.setKind(static_cast<wire::StepKind>(4)); },
       "SchemaEnum(NotInSchema(4))"},
      {"activity kind 3",
       [](auto b) {
         b.initExchangeActivities(2)[1].setKind(static_cast<wire::ExchangeActivityKind>(3));
       },
       "SchemaEnum(NotInSchema(3))"},
      {"operation not UTF-8 before a bad kind",
       [](auto b) {
         b.setOperation(capnp::Text::Reader("op\xc3", 3));
         b.setKind(static_cast<wire::StepKind>(4));
       },
       "Utf8(Utf8Error { valid_up_to: 2, error_len: None })"},
      {"metadata value not UTF-8",
       [](auto b) { b.initMetadata(1)[0].setValue(capnp::Text::Reader("\xff", 1)); },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
  };
  for (const Case& c : cases) {
    const auto step = read_built(c.build);
    ASSERT_FALSE(step.has_value()) << c.name;
    EXPECT_EQ(step.error().debug(), c.debug) << c.name;
  }
  EXPECT_EQ(read_built(cases[0].build).error().display(),
            "unknown schema enum value: Enum value or union discriminant 4 was not present in the "
            "schema.");
}

TEST(ProfileStepRead, MalformedListIsCapnp) {
  capnp::MallocMessageBuilder message;
  auto step = message.initRoot<wire::ProfileStep>();
  // A struct where the metadata list belongs.
  capnp::toAny(step).getPointerSection()[2].initAsAnyStruct(1, 0);
  const auto read = ProfileStep::read(step.asReader());
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), PackageError::Kind::Capnp);
}

}  // namespace
}  // namespace zel_package
