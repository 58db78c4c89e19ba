// The floor a whole run is measured against: the memory work no load of a package can avoid,
// done as a tuned program would. Reads the package file into a fresh buffer, copies it once
// (both buffers asking for huge pages, so a large package costs a few hundred page faults, not
// one per 4 KiB), makes the 0x2842000-byte transport as the loader must (private, anonymous,
// populated) and fills it with the execute sentinel once. Usage: zel_floor PACKAGE
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "zel_driver/system_backend.hpp"
#include "zel_driver/transport.hpp"

namespace {

int fail(const char* what) {
  std::perror(what);
  return 1;
}

// Fresh memory of `size` bytes in huge pages where the kernel has them; null when none.
std::byte* huge_buffer(std::size_t size) {
  void* memory = ::mmap(nullptr, std::max<std::size_t>(size, 1), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  ::madvise(memory, size, MADV_HUGEPAGE);
  return static_cast<std::byte*>(memory);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zel_floor PACKAGE\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0) return fail(argv[1]);
  const auto size = static_cast<std::size_t>(status.st_size);
  std::byte* const file = huge_buffer(size);
  std::byte* const copy = huge_buffer(size);
  if (file == nullptr || copy == nullptr) return fail("mmap");
  for (std::size_t done = 0; done < size;) {
    const ssize_t got = ::read(fd, file + done, size - done);
    if (got <= 0) return fail("read");
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  std::memcpy(copy, file, size);

  void* transport = ::mmap(nullptr, zel_driver::TRANSPORT_BYTES, zel_driver::MAP_PROTECTION,
                           zel_driver::HOST_BUFFER_MAP_FLAGS, -1, 0);
  if (transport == MAP_FAILED) return fail("mmap");
  std::memset(transport, std::to_integer<int>(zel_driver::SENTINEL_FILL),
              zel_driver::TRANSPORT_BYTES);
  // Keeps the copy and the fill from being optimized away.
  const std::byte last = size == 0 ? std::byte{0} : copy[size - 1];
  return std::to_integer<int>(last & static_cast<std::byte*>(transport)[0] & std::byte{0});
}
