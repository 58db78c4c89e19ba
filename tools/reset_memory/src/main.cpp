#include <iostream>
#include <string>
#include <vector>

#include "reset_memory/run.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return reset_memory::run(arguments, zel_driver::system_backend(), std::cout, std::cerr);
}
