#include "zel_package/profile.hpp"

#include "wire_conversion.hpp"
#include "zel_base/try.hpp"

namespace zel_package {

[[nodiscard]] std::expected<StepKind, NotInSchema> step_kind_from_value(std::uint16_t value) {
  if (value > static_cast<std::uint16_t>(StepKind::Idle))
    return std::unexpected(NotInSchema(value));
  return static_cast<StepKind>(value);
}

[[nodiscard]] std::expected<ExchangeActivityKind, NotInSchema> exchange_activity_kind_from_value(
    std::uint16_t value) {
  if (value > static_cast<std::uint16_t>(ExchangeActivityKind::PartnerBusy)) {
    return std::unexpected(NotInSchema(value));
  }
  return static_cast<ExchangeActivityKind>(value);
}

namespace {

[[nodiscard]] std::expected<ProfileMetadata, PackageError> read_metadata(
    wire::MetadataEntry::Reader entry) {
  ZEL_TRY_ASSIGN(auto name, detail::copy_text(entry.getName()));
  ZEL_TRY_ASSIGN(auto value, detail::copy_text(entry.getValue()));
  return ProfileMetadata{std::move(name), std::move(value)};
}

[[nodiscard]] std::expected<ProfileExchangeActivity, PackageError> read_activity(
    wire::ExchangeActivity::Reader activity) {
  // Of its fields only the kind can fail.
  ZEL_TRY_ASSIGN(const auto kind,
                 exchange_activity_kind_from_value(static_cast<std::uint16_t>(activity.getKind())));
  return ProfileExchangeActivity{
      .fanout = activity.getFanout(),
      .paired = activity.getPaired(),
      .kind = kind,
      .start_cycle = activity.getStartCycle(),
      .end_cycle = activity.getEndCycle(),
  };
}

[[nodiscard]] std::expected<ProfileStep, PackageError> read_step(
    wire::ProfileStep::Reader wire_step) {
  ProfileStep step;
  step.local_index = wire_step.getLocalIndex();
  step.phase = wire_step.getPhase();
  step.epoch = wire_step.getEpoch();
  ZEL_TRY_ASSIGN(step.operation, detail::copy_text(wire_step.getOperation()));
  ZEL_TRY_ASSIGN(step.kind, step_kind_from_value(static_cast<std::uint16_t>(wire_step.getKind())));
  ZEL_TRY_ASSIGN(step.kernel, detail::copy_text(wire_step.getKernel()));
  ZEL_TRY_ASSIGN(step.metadata,
                 detail::convert_list<ProfileMetadata>(wire_step.getMetadata(), read_metadata));
  ZEL_TRY_ASSIGN(step.exchange_activities, detail::convert_list<ProfileExchangeActivity>(
                                               wire_step.getExchangeActivities(), read_activity));
  step.exchange_event_cycles = wire_step.getExchangeEventCycles();
  return step;
}

}  // namespace

std::expected<ProfileStep, PackageError> ProfileStep::read(wire::ProfileStep::Reader step) {
  try {
    return read_step(step);
  } catch (const kj::Exception& exception) {
    return std::unexpected(detail::capnp_error(exception));
  }
}

}  // namespace zel_package
