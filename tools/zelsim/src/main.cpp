#include <iostream>
#include <string>
#include <vector>

#include "zelsim/commands.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return zelsim::main(arguments, std::cout, std::cerr);
}
