#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "device_nodes.hpp"
#include "report_summary.hpp"
#include "zel/commands.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;

void print_json(const std::vector<DeviceNode>& nodes, const std::optional<std::string>& rule,
                std::ostream& out) {
  json list = json::array();
  for (const DeviceNode& node : nodes) {
    list.push_back({{"path", node.path},
                    {"kind", node.kind},
                    {"owner", node.owner},
                    {"group", node.group},
                    {"mode", node.mode},
                    {"usable", node.usable()},
                    {"open_error", node.open_error ? json(*node.open_error) : json(nullptr)}});
  }
  const json object = {{"nodes", std::move(list)},
                       {"udev_rule", rule ? json(*rule) : json(nullptr)}};
  out << object.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

void print_text(const std::string& directory, const std::vector<DeviceNode>& nodes,
                const std::optional<std::string>& rule, std::ostream& out) {
  if (nodes.empty()) out << fmt::format("no zel* node in {}\n", shown(directory));
  for (const DeviceNode& node : nodes) {
    std::string verdict = "usable";
    if (node.kind == "missing") {
      // A name whose node is gone: a link to nothing, or one that cannot be followed.
      verdict = fmt::format("not usable: no node behind the name ({})", *node.open_error);
    } else if (node.kind != "character device") {
      verdict = fmt::format("not usable: a {}, not a character device", node.kind);
    } else if (node.open_error) {
      verdict = fmt::format("not usable: cannot be opened read/write ({})", *node.open_error);
    }
    out << fmt::format("{}  {} {} {}  {}\n", shown(node.path), node.mode.empty() ? "-" : node.mode,
                       node.owner.empty() ? "-" : shown(node.owner),
                       node.group.empty() ? "-" : shown(node.group), verdict);
  }
  out << (rule ? fmt::format("udev rule: {}\n", *rule)
               : std::string("udev rule: not installed (/usr/share/doc/zel-tools/examples/"
                             "60-zel.rules)\n"));
}

}  // namespace

int devices_command(const DevicesOptions& options, std::ostream& out) {
  const std::vector<DeviceNode> nodes = find_device_nodes(options.directory);
  const std::optional<std::string> rule = installed_udev_rule();
  if (options.json) {
    print_json(nodes, rule, out);
  } else {
    print_text(options.directory, nodes, rule, out);
  }
  const bool all_usable = !nodes.empty() && std::ranges::all_of(nodes, [](const DeviceNode& node) {
    return node.usable();
  });
  return all_usable ? 0 : 1;
}

}  // namespace zel
