#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "zel/commands.hpp"
#include "zel_base/fd_output.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  zel_base::FdOutput out(STDOUT_FILENO);  // keeps a write error, so lost output is not a success
  return zel::main(arguments, out, std::cerr);
}
