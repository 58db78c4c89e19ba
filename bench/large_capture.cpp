// Writes a configuration capture of RECORDS writes (the fixtures' capture repeated) to FILE,
// for measuring whole runs on long captures (scripts/bench: memory of `zel run --trace`).
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "zel_fixtures/config_image.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: zel_large_capture FILE RECORDS\n";
    return 2;
  }
  const std::size_t records = std::stoul(argv[2]);
  const auto capture = zel_fixtures::captured_configuration();
  std::vector<zel_fixtures::ConfigWrite> writes;
  writes.reserve(records);
  while (writes.size() < records) {
    writes.push_back(capture[writes.size() % capture.size()]);
  }
  const auto image = zel_fixtures::configuration_image(writes);
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  file.close();
  return file ? EXIT_SUCCESS : EXIT_FAILURE;
}
