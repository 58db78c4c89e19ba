#include "zel_driver/tracing_backend.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <iterator>

#include <nlohmann/json.hpp>

#include "zel_base/version.hpp"
#include "zel_driver/kernel_interface.hpp"

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

TracedAnswer result(long long value, int error) {
  return {.result = value, .error = value < 0 ? error : 0};
}

// One line, whatever the text given: a JSON object is written compact, anything else as {}.
std::string one_line_object(std::string_view text) {
  const auto object = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!object.is_object()) return "{}";
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

TracingBackend::TracingBackend(zel_base::Backend& inner, std::ostream& out, std::string_view run,
                               zel_base::Backend* clock)
    : ForwardingBackend(inner),
      out_(out),
      clock_(clock != nullptr ? *clock : inner),
      start_(clock_.now()) {
  const nlohmann::json version = zel_base::version(), revision = zel_base::source_revision();
  write_account("trace",
                fmt::format(",\"format\":\"{}\",\"version\":{},\"source_revision\":{}",
                            TRACE_FORMAT, version.dump(), revision.dump()),
                run);
}

void TracingBackend::write(std::chrono::nanoseconds at, const TracedCall& call,
                           const TracedAnswer& answer) {
  line_.clear();
  append_trace_line(line_, (at - start_).count(), call, answer);
  line_.push_back('\n');
  out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

void TracingBackend::write(const TracedCall& call, const TracedAnswer& answer) {
  write(clock_.now(), call, answer);
}

void TracingBackend::write_account(std::string_view op, std::string_view members,
                                   std::string_view run) {
  line_.clear();
  fmt::format_to(std::back_inserter(line_), "{{\"t_ns\":{},\"op\":\"{}\"{},\"run\":{}}}\n",
                 (clock_.now() - start_).count(), op, members, one_line_object(run));
  out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

int TracingBackend::open(const char* path, int flags) {
  const int fd = inner().open(path, flags);
  const SavedErrno saved;
  write(traced::Open{path, static_cast<std::uint32_t>(flags)}, result(fd, saved.value()));
  return fd;
}

int TracingBackend::close(int fd) {
  const int closed = inner().close(fd);
  const SavedErrno saved;
  write(traced::Close{fd}, result(closed, saved.value()));
  return closed;
}

int TracingBackend::lock(int fd, int& holder) {
  const int locked = inner().lock(fd, holder);
  const SavedErrno saved;
  TracedAnswer answer = result(locked, saved.value());
  if (locked != 0) answer.holder = holder;
  write(traced::Lock{fd}, answer);
  return locked;
}

int TracingBackend::ioctl(int fd, unsigned long request, unsigned long argument) {
  // What the kernel reads is decoded before the call, what it writes after it.
  traced::Ioctl call{request, traced_argument_of(request, argument)};
  const int returned = inner().ioctl(fd, request, argument);
  const SavedErrno saved;
  TracedAnswer answer = result(returned, saved.value());
  if (std::holds_alternative<traced_argument::Mailbox>(call.argument) && returned == 0) {
    const auto* record = reinterpret_cast<const MailboxArgument*>(argument);
    answer.received = reinterpret_cast<const MailboxMessage*>(record->received)->words;
  }
  write(call, answer);
  return returned;
}

void* TracingBackend::map(int fd, std::size_t size) {
  void* mapped = inner().map(fd, size);
  const SavedErrno saved;
  if (mapped != MAP_FAILED) {
    config_ = static_cast<const volatile std::byte*>(mapped);
    config_size_ = size;
  }
  write(traced::Map{fd, size}, result(mapped == MAP_FAILED ? -1 : 0, saved.value()));
  return mapped;
}

void* TracingBackend::map_anonymous(std::size_t size) {
  void* mapped = inner().map_anonymous(size);
  const SavedErrno saved;
  write(traced::MapAnonymous{size}, result(mapped == MAP_FAILED ? -1 : 0, saved.value()));
  return mapped;
}

int TracingBackend::unmap(void* address, std::size_t size) {
  const bool configuration = address == config_;
  const int unmapped = inner().unmap(address, size);
  const SavedErrno saved;
  if (configuration && unmapped == 0) config_ = nullptr;
  write(traced::Unmap{configuration, size}, result(unmapped, saved.value()));
  return unmapped;
}

std::optional<std::uint32_t> TracingBackend::offset_of(const volatile std::uint32_t* reg) const {
  const auto* at = reinterpret_cast<const volatile std::byte*>(reg);
  if (config_ == nullptr || at < config_ || at >= config_ + config_size_) return std::nullopt;
  return static_cast<std::uint32_t>(at - config_);
}

std::uint32_t TracingBackend::load(const volatile std::uint32_t* reg) {
  const std::uint32_t value = inner().load(reg);
  write(traced::Load{offset_of(reg)}, {.value = value});
  return value;
}

void TracingBackend::store(volatile std::uint32_t* reg, std::uint32_t value) {
  inner().store(reg, value);
  write(traced::Store{offset_of(reg), value});
}

void TracingBackend::to_device_barrier() {
  inner().to_device_barrier();
  write(traced::Barrier{});
}

std::chrono::nanoseconds TracingBackend::now() {
  // The line's time is the reading itself, so a replay can give the stack the same one.
  const auto reading = inner().now();
  write(reading, traced::Now{}, {});
  return reading;
}

void TracingBackend::sleep_for(std::chrono::nanoseconds duration) {
  inner().sleep_for(duration);
  write(traced::Sleep{duration.count()});
}

void TracingBackend::phase(std::string_view name) { write(traced::Phase{std::string(name)}); }

bool TracingBackend::finish(std::string_view run) {
  write_account("end", "", run);
  out_.flush();
  return !out_.fail();
}

}  // namespace zel_driver
