#include "zel_driver/tracing_backend.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include <nlohmann/json.hpp>

#include "zel_base/os_error.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/request_names.hpp"

namespace zel_driver {
namespace {

// Keeps errno as the inner call left it while a line is written, so the caller still takes
// the call's own error.
class SavedErrno {
 public:
  SavedErrno() : error_(errno) {}
  ~SavedErrno() { errno = error_; }
  int value() const { return error_; }

 private:
  int error_;
};

std::string json_text(std::string_view text) {
  // Paths are bytes; anything that is not UTF-8 is replaced rather than refused.
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string hex_words(std::span<const std::uint32_t> words) {
  std::string text = "[";
  for (std::size_t i = 0; i < words.size(); ++i) {
    fmt::format_to(std::back_inserter(text), "{}\"0x{:x}\"", i == 0 ? "" : ",", words[i]);
  }
  return text + "]";
}

}  // namespace

TracingBackend::TracingBackend(zel_base::Backend& inner, std::ostream& out)
    : ForwardingBackend(inner), out_(out), start_(inner.now()) {}

fmt::memory_buffer& TracingBackend::begin(std::string_view op) {
  line_.clear();
  fmt::format_to(std::back_inserter(line_), "{{\"t_ns\":{},\"op\":\"{}\"",
                 (inner().now() - start_).count(), op);
  return line_;
}

void TracingBackend::end() {
  line_.append(std::string_view("}\n"));
  out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

void TracingBackend::result(long long value, int error) {
  fmt::format_to(std::back_inserter(line_), ",\"result\":{}", value);
  if (value < 0)
    fmt::format_to(std::back_inserter(line_), ",\"errno\":\"{}\"", zel_base::OsError(error).name());
}

int TracingBackend::open(const char* path, int flags) {
  const int fd = inner().open(path, flags);
  const SavedErrno saved;
  fmt::format_to(std::back_inserter(begin("open")), ",\"path\":{},\"flags\":\"0x{:x}\"",
                 json_text(path), flags);
  result(fd, saved.value());
  end();
  return fd;
}

int TracingBackend::close(int fd) {
  const int closed = inner().close(fd);
  const SavedErrno saved;
  fmt::format_to(std::back_inserter(begin("close")), ",\"fd\":{}", fd);
  result(closed, saved.value());
  end();
  return closed;
}

int TracingBackend::lock(int fd, int& holder) {
  const int locked = inner().lock(fd, holder);
  const SavedErrno saved;
  fmt::format_to(std::back_inserter(begin("lock")), ",\"fd\":{}", fd);
  result(locked, saved.value());
  if (locked != 0) fmt::format_to(std::back_inserter(line_), ",\"holder\":{}", holder);
  end();
  return locked;
}

int TracingBackend::ioctl(int fd, unsigned long request, unsigned long argument) {
  // What the kernel reads is decoded before the call, what it writes after it.
  std::string sent;
  const auto name = request_name(request);
  if (argument != 0 && request == IOCTL_MAILBOX) {
    const auto* record = reinterpret_cast<const MailboxArgument*>(argument);
    sent = fmt::format("\"sent\":{}",
                       hex_words(reinterpret_cast<const MailboxMessage*>(record->sent)->words));
  } else if (argument != 0 && request == IOCTL_ATTACH_BUFFER) {
    const auto* record = reinterpret_cast<const AttachBufferData*>(argument);
    sent = fmt::format("\"index\":\"0x{:x}\",\"size\":\"0x{:x}\"", record->index, record->size);
  } else if (argument != 0 && request == IOCTL_SET_SECONDARY_ID) {
    sent = fmt::format("\"id\":\"0x{:x}\"", *reinterpret_cast<const std::uint32_t*>(argument));
  } else if (name) {
    // Every other request of the interface takes a plain value.
    sent = fmt::format("\"argument\":\"0x{:x}\"", argument);
  }

  const int returned = inner().ioctl(fd, request, argument);
  const SavedErrno saved;
  auto& line = begin("ioctl");
  fmt::format_to(std::back_inserter(line), ",\"request\":\"{}\",\"number\":\"0x{:x}\"",
                 name.value_or("unknown"), request);
  if (!sent.empty()) fmt::format_to(std::back_inserter(line), ",{}", sent);
  if (argument != 0 && request == IOCTL_MAILBOX && returned == 0) {
    const auto* record = reinterpret_cast<const MailboxArgument*>(argument);
    fmt::format_to(std::back_inserter(line), ",\"received\":{}",
                   hex_words(reinterpret_cast<const MailboxMessage*>(record->received)->words));
  }
  result(returned, saved.value());
  end();
  return returned;
}

void* TracingBackend::map(int fd, std::size_t size) {
  void* mapped = inner().map(fd, size);
  const SavedErrno saved;
  if (mapped != MAP_FAILED) {
    config_ = static_cast<const volatile std::byte*>(mapped);
    config_size_ = size;
  }
  fmt::format_to(std::back_inserter(begin("map")), ",\"fd\":{},\"size\":\"0x{:x}\"", fd, size);
  result(mapped == MAP_FAILED ? -1 : 0, saved.value());
  end();
  return mapped;
}

void* TracingBackend::map_anonymous(std::size_t size) {
  void* mapped = inner().map_anonymous(size);
  const SavedErrno saved;
  fmt::format_to(std::back_inserter(begin("map-anonymous")), ",\"size\":\"0x{:x}\"", size);
  result(mapped == MAP_FAILED ? -1 : 0, saved.value());
  end();
  return mapped;
}

int TracingBackend::unmap(void* address, std::size_t size) {
  const bool configuration = address == config_;
  const int unmapped = inner().unmap(address, size);
  const SavedErrno saved;
  if (configuration && unmapped == 0) config_ = nullptr;
  fmt::format_to(std::back_inserter(begin("unmap")), ",\"mapping\":\"{}\",\"size\":\"0x{:x}\"",
                 configuration ? "configuration" : "host", size);
  result(unmapped, saved.value());
  end();
  return unmapped;
}

std::string_view TracingBackend::offset_of(const volatile std::uint32_t* reg) {
  const auto* at = reinterpret_cast<const volatile std::byte*>(reg);
  if (config_ == nullptr || at < config_ || at >= config_ + config_size_) return "outside";
  const auto end = fmt::format_to_n(offset_text_, sizeof offset_text_, "0x{:x}", at - config_);
  return {offset_text_, static_cast<std::size_t>(end.out - offset_text_)};
}

std::uint32_t TracingBackend::load(const volatile std::uint32_t* reg) {
  const std::uint32_t value = inner().load(reg);
  fmt::format_to(std::back_inserter(begin("load")), ",\"offset\":\"{}\",\"value\":\"0x{:x}\"",
                 offset_of(reg), value);
  end();
  return value;
}

void TracingBackend::store(volatile std::uint32_t* reg, std::uint32_t value) {
  inner().store(reg, value);
  fmt::format_to(std::back_inserter(begin("store")), ",\"offset\":\"{}\",\"value\":\"0x{:x}\"",
                 offset_of(reg), value);
  end();
}

void TracingBackend::to_device_barrier() {
  inner().to_device_barrier();
  begin("barrier");
  end();
}

void TracingBackend::phase(std::string_view name) {
  fmt::format_to(std::back_inserter(begin("phase")), ",\"name\":{}", json_text(name));
  end();
}

bool TracingBackend::finish() {
  out_.flush();
  return !out_.fail();
}

}  // namespace zel_driver
