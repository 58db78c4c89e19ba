#include "zelsim/commands.hpp"

namespace zelsim {

namespace {

constexpr const char* USAGE =
    "usage: zelsim fixtures DIR [--tiles N]\n"
    "       zelsim run [--fault NAME[=VALUE]]... [--trace FILE] [--log LEVEL]\n"
    "                  CONFIG PACKAGE BOOTLOADER\n"
    "       zelsim run --list-faults\n";

}  // namespace

int main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty() && arguments[0] == "fixtures") {
    return fixtures_command(arguments.subspan(1), out, err);
  }
  if (!arguments.empty() && arguments[0] == "run")
    return run_command(arguments.subspan(1), out, err);
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "help")) {
    out << USAGE;
    return 0;
  }
  err << USAGE;
  return 2;
}

}  // namespace zelsim
