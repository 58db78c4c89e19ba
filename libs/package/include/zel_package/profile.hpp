#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "zel_package/package_error.hpp"
#include "zel_package/profile.capnp.h"

namespace zel_package {

// What a profile step does; the values are those stored on the wire.
enum class StepKind : std::uint16_t { Exchange = 0, Compute = 1, Synchronization = 2, Idle = 3 };

// What an exchange activity is; the values are those stored on the wire.
enum class ExchangeActivityKind : std::uint16_t { Send = 0, Receive = 1, PartnerBusy = 2 };

// The variant stored as `value`; every value outside the schema is refused, none is clamped.
[[nodiscard]] std::expected<StepKind, NotInSchema> step_kind_from_value(std::uint16_t value);
[[nodiscard]] std::expected<ExchangeActivityKind, NotInSchema> exchange_activity_kind_from_value(
    std::uint16_t value);

// One named text attribute of a step; names may repeat.
struct ProfileMetadata {
  std::string name;
  std::string value;

  bool operator==(const ProfileMetadata&) const = default;
};

struct ProfileExchangeActivity {
  std::uint16_t fanout = 0;
  bool paired = false;
  ExchangeActivityKind kind = ExchangeActivityKind::Send;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;

  bool operator==(const ProfileExchangeActivity&) const = default;
};

// One step of a tile's profile plan.
struct ProfileStep {
  // Position of the step in its plan; validation requires exactly that.
  std::uint32_t local_index = 0;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string operation;
  StepKind kind = StepKind::Exchange;
  std::string kernel;
  std::vector<ProfileMetadata> metadata;
  std::vector<ProfileExchangeActivity> exchange_activities;
  std::uint32_t exchange_event_cycles = 0;

  // Copies one wire step out of its message, fields in wire order, stopping at the first
  // failure: Capnp for a malformed text or list, Utf8 for a text that is not UTF-8,
  // SchemaEnum for a step or activity kind outside the schema.
  [[nodiscard]] static std::expected<ProfileStep, PackageError> read(
      wire::ProfileStep::Reader step);

  bool operator==(const ProfileStep&) const = default;
};

// The profile plan of one tile: its steps in package order.
struct TileProfilePlan {
  std::uint32_t physical_tile = 0;
  std::vector<ProfileStep> steps;

  bool operator==(const TileProfilePlan&) const = default;
};

}  // namespace zel_package
