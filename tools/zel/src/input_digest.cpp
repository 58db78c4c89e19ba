#include "input_digest.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <iterator>
#include <memory>

#include <fmt/format.h>

#include "zel_base/os_error.hpp"
#include "zel_base/unique_fd.hpp"

namespace zel {
namespace {

struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

[[nodiscard]] std::expected<InputDigest, std::string> input_digest(const std::string& path,
                                                                   std::uint64_t limit) {
  const zel_base::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::unexpected(zel_base::OsError::last().display());
  // Reading a pipe or a device here would take from the run what it is meant to read (and
  // opening one without O_NONBLOCK could wait for a writer).
  struct stat status;
  if (::fstat(file.get(), &status) != 0)
    return std::unexpected(zel_base::OsError::last().display());
  if (!S_ISREG(status.st_mode)) return std::unexpected("not a regular file: not read");
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size > limit) return std::unexpected(fmt::format("larger than {} bytes: not read", limit));
  const std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::unexpected("SHA-256 unavailable");
  }
  InputDigest digest;
  std::array<unsigned char, 1 << 16> piece;
  // One byte past the size shows a file that holds more than it says.
  while (digest.size <= size) {
    const ssize_t got = ::read(file.get(), piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected(zel_base::OsError::last().display());
    if (got == 0) break;
    EVP_DigestUpdate(context.get(), piece.data(), static_cast<std::size_t>(got));
    digest.size += static_cast<std::uint64_t>(got);
  }
  if (digest.size != size) {
    return std::unexpected("its size changed while it was read, or is not its real size: not read");
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash;
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), hash.data(), &length);
  for (unsigned int i = 0; i < length; ++i) {
    fmt::format_to(std::back_inserter(digest.sha256), "{:02x}", hash[i]);
  }
  return digest;
}

}  // namespace zel
