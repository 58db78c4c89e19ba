#include "zel_base/os_error.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <fmt/format.h>

namespace zel_base {

OsError OsError::last() { return OsError(errno); }

std::string_view OsError::kind() const {
  switch (code_) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
    case EOPNOTSUPP:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case EINPROGRESS:
      return "InProgress";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "QuotaExceeded";
    default:
      return "Uncategorized";
  }
}

std::string OsError::message() const {
  char buffer[256];
  // The GNU strerror_r returns the message, which may or may not live in `buffer`.
  return strerror_r(code_, buffer, sizeof buffer);
}

std::string OsError::name() const {
  const char* name = ::strerrorname_np(code_);
  return name != nullptr ? name : fmt::format("E{}", code_);
}

std::optional<OsError> OsError::named(std::string_view name) {
  // Every number the system names lies well below this.
  constexpr int NAMED_LIMIT = 4096;
  for (int code = 0; code < NAMED_LIMIT; ++code) {
    const char* known = ::strerrorname_np(code);
    if (known != nullptr && name == known) return OsError(code);
  }
  int code = 0;
  if (name.size() < 2 || name[0] != 'E') return std::nullopt;
  const auto [end, error] = std::from_chars(name.data() + 1, name.data() + name.size(), code);
  if (error != std::errc() || end != name.data() + name.size()) return std::nullopt;
  // A number the system names is written by its name only.
  if (::strerrorname_np(code) != nullptr) return std::nullopt;
  return OsError(code);
}

std::string OsError::reason() const { return fmt::format("{} ({})", message(), name()); }

std::string OsError::display() const { return fmt::format("{} (os error {})", message(), code_); }

std::string OsError::debug() const {
  return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", code_, kind(),
                     debug_quote(message()));
}

}  // namespace zel_base
