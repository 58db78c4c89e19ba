#pragma once

#include <ostream>
#include <span>
#include <string>

namespace zelsim {

// `zelsim COMMAND ...`: the companion command of reset_memory on the simulated device.
// Returns the exit status.
int main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

// `zelsim fixtures DIR [--tiles N]`: writes a configuration image, an idle package and a
// bootloader ELF into DIR.
int fixtures_command(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

// `zelsim run [--fault NAME[=VALUE]]... [--trace FILE] [--log LEVEL] CONFIG PACKAGE BOOTLOADER`:
// reset_memory's own run on the simulated device; exits with its status.
int run_command(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace zelsim
