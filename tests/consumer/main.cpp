// A program built against an installed ZEL stack, as another project would build one: reads
// an application package and prints its tile count. Errors are reported as the device library
// reports them, so the program links zel_driver as well as zel_package.
#include <fcntl.h>

#include <iostream>

#include "zel_base/os_error.hpp"
#include "zel_driver/driver_error.hpp"
#include "zel_package/application.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: consumer PACKAGE\n";
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "Error: " << zel_base::OsError::last().debug() << "\n";
    return 1;
  }
  auto application = zel_package::Application::read(zel_base::UniqueFd(fd));
  if (!application) {
    std::cerr << "Error: " << zel_driver::DriverError(application.error()).debug() << "\n";
    return 1;
  }
  std::cout << application->tiles.size() << "\n";
  return 0;
}
