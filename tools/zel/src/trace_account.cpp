#include "trace_account.hpp"

#include <fmt/format.h>

#include "zel_base/try.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;

std::string compact(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The field `name` of `object`, of the kind `is` tells.
template <class Is>
std::expected<const json*, std::string> field(const json& object, const char* name, Is is,
                                              const char* kind) {
  const auto found = object.find(name);
  if (found == object.end() || !is(*found)) {
    return std::unexpected(fmt::format("no \"{}\" {}", name, kind));
  }
  return &*found;
}

const auto is_object = [](const json& value) { return value.is_object(); };
const auto is_array = [](const json& value) { return value.is_array(); };

std::expected<std::vector<std::string>, std::string> texts(const json& object, const char* name) {
  ZEL_TRY_ASSIGN(const json* list, field(object, name, is_array, "list"));
  std::vector<std::string> texts;
  for (const json& text : *list) {
    if (!text.is_string()) return std::unexpected(fmt::format("\"{}\" holds a non-text", name));
    texts.push_back(text);
  }
  return texts;
}

std::expected<json, std::string> parsed(std::string_view run) {
  json object = json::parse(run, nullptr, false);
  if (!object.is_object()) return std::unexpected("the run is not a JSON object");
  return object;
}

}  // namespace

RecordedRun RecordedRun::of(const RunIdentity& identity, std::span<const std::string> arguments) {
  return {identity.command_line,
          identity.device,
          {arguments.begin(), arguments.end()},
          identity.inputs};
}

std::expected<RecordedRun, std::string> RecordedRun::read(std::string_view run) {
  ZEL_TRY_ASSIGN(const json object, parsed(run));
  RecordedRun recorded;
  ZEL_TRY_ASSIGN(recorded.command_line, texts(object, "command_line"));
  ZEL_TRY_ASSIGN(const json* device, field(object, "device", is_object, "object"));
  ZEL_TRY_ASSIGN(recorded.arguments, texts(object, "arguments"));
  ZEL_TRY_ASSIGN(const json* inputs, field(object, "inputs", is_array, "list"));
  recorded.device = *device;
  recorded.inputs = *inputs;
  return recorded;
}

std::string RecordedRun::text() const {
  return compact({{"command_line", command_line},
                  {"device", device},
                  {"arguments", arguments},
                  {"inputs", inputs}});
}

RecordedEnd RecordedEnd::of(const RunOutcome& outcome) {
  return {outcome.exit_status, outcome.faults, outcome.warnings, outcome.refusals};
}

std::expected<RecordedEnd, std::string> RecordedEnd::read(std::string_view run) {
  ZEL_TRY_ASSIGN(const json object, parsed(run));
  RecordedEnd recorded;
  const auto is_status = [](const json& value) { return value.is_number_integer(); };
  ZEL_TRY_ASSIGN(const json* status, field(object, "exit_status", is_status, "number"));
  ZEL_TRY_ASSIGN(const json* faults, field(object, "faults", is_array, "list"));
  ZEL_TRY_ASSIGN(recorded.warnings, texts(object, "warnings"));
  ZEL_TRY_ASSIGN(recorded.refusals, texts(object, "refusals"));
  recorded.exit_status = status->get<int>();
  recorded.faults = *faults;
  return recorded;
}

std::string RecordedEnd::text() const {
  return compact({{"exit_status", exit_status},
                  {"faults", faults},
                  {"warnings", warnings},
                  {"refusals", refusals}});
}

}  // namespace zel
