#include "zel_package/profile.hpp"

#include "wire_conversion.hpp"

namespace zel_package {

std::expected<StepKind, NotInSchema> step_kind_from_value(std::uint16_t value) {
  if (value > static_cast<std::uint16_t>(StepKind::Idle))
    return std::unexpected(NotInSchema(value));
  return static_cast<StepKind>(value);
}

std::expected<ExchangeActivityKind, NotInSchema> exchange_activity_kind_from_value(
    std::uint16_t value) {
  if (value > static_cast<std::uint16_t>(ExchangeActivityKind::PartnerBusy)) {
    return std::unexpected(NotInSchema(value));
  }
  return static_cast<ExchangeActivityKind>(value);
}

namespace {

std::expected<ProfileMetadata, PackageError> read_metadata(wire::MetadataEntry::Reader entry) {
  auto name = detail::copy_text(entry.getName());
  if (!name) return std::unexpected(name.error());
  auto value = detail::copy_text(entry.getValue());
  if (!value) return std::unexpected(value.error());
  return ProfileMetadata{std::move(*name), std::move(*value)};
}

std::expected<ProfileExchangeActivity, PackageError> read_activity(
    wire::ExchangeActivity::Reader activity) {
  // Of its fields only the kind can fail.
  auto kind = exchange_activity_kind_from_value(static_cast<std::uint16_t>(activity.getKind()));
  if (!kind) return std::unexpected(kind.error());
  return ProfileExchangeActivity{
      .fanout = activity.getFanout(),
      .paired = activity.getPaired(),
      .kind = *kind,
      .start_cycle = activity.getStartCycle(),
      .end_cycle = activity.getEndCycle(),
  };
}

std::expected<ProfileStep, PackageError> read_step(wire::ProfileStep::Reader wire_step) {
  ProfileStep step;
  step.local_index = wire_step.getLocalIndex();
  step.phase = wire_step.getPhase();
  step.epoch = wire_step.getEpoch();
  auto operation = detail::copy_text(wire_step.getOperation());
  if (!operation) return std::unexpected(operation.error());
  step.operation = std::move(*operation);
  auto kind = step_kind_from_value(static_cast<std::uint16_t>(wire_step.getKind()));
  if (!kind) return std::unexpected(kind.error());
  step.kind = *kind;
  auto kernel = detail::copy_text(wire_step.getKernel());
  if (!kernel) return std::unexpected(kernel.error());
  step.kernel = std::move(*kernel);
  auto metadata = detail::convert_list<ProfileMetadata>(wire_step.getMetadata(), read_metadata);
  if (!metadata) return std::unexpected(metadata.error());
  step.metadata = std::move(*metadata);
  auto activities = detail::convert_list<ProfileExchangeActivity>(wire_step.getExchangeActivities(),
                                                                  read_activity);
  if (!activities) return std::unexpected(activities.error());
  step.exchange_activities = std::move(*activities);
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
