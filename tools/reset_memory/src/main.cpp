#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "reset_memory/run.hpp"
#include "zel_base/fd_output.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  zel_base::FdOutput out(STDOUT_FILENO);  // keeps a write error, so a lost line is not a pass
  return reset_memory::run(arguments, zel_driver::system_backend(), out, std::cerr);
}
