#include <iostream>
#include <string>
#include <vector>

#include "zel/commands.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return zel::main(arguments, std::cout, std::cerr);
}
