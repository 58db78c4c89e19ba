#include "zel_driver/replay_backend.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/system_backend.hpp"

namespace zel_driver {
namespace {

// What every call gets once the replay has stopped.
constexpr int STOPPED_ERROR = ECANCELED;
constexpr std::uint32_t STOPPED_LOAD = 0xffffffff;

}  // namespace

ReplayBackend::ReplayBackend(TraceReader& trace, std::size_t context)
    : trace_(trace), context_(context) {}

ReplayBackend::~ReplayBackend() {
  if (configuration_) release(configuration_->address);
  while (!host_memory_.empty()) release(host_memory_.back().address);
}

bool ReplayBackend::advance() {
  for (;;) {
    if (current_) {
      before_.push_back(std::move(*current_));
      current_.reset();
      if (before_.size() > context_) before_.pop_front();
    }
    auto next = trace_.next();
    if (!next) {
      stop_ = std::move(next.error());
      return false;
    }
    if (!*next) return false;  // the last line: the recorded run made no more calls
    ++events_;
    recorded_time_ = std::chrono::nanoseconds((*next)->t_ns);
    current_ = std::move(**next);
    const auto* phase = std::get_if<traced::Phase>(&current_->call);
    if (phase == nullptr) return true;
    phase_ = phase->name;
  }
}

void ReplayBackend::diverge(std::optional<TracedCall> made) {
  stop_ = ReplayDivergence{
      .event = current_ ? events_ : events_ + 1,
      .line = current_ ? current_->line : trace_.line(),
      .recorded = current_,
      .made = std::move(made),
      .before = before_,
      .phase = phase_,
  };
}

const TraceEvent* ReplayBackend::expect(TracedCall made) {
  if (stop_) return nullptr;
  if (!advance()) {
    if (!stop_) diverge(std::move(made));
    return nullptr;
  }
  if (current_->call != made) {
    diverge(std::move(made));
    return nullptr;
  }
  return &*current_;
}

const std::optional<ReplayStop>& ReplayBackend::finish() {
  if (!stop_ && advance()) diverge(std::nullopt);
  return stop_;
}

int ReplayBackend::answer(const TraceEvent* event) {
  if (event == nullptr) {
    errno = STOPPED_ERROR;
    return -1;
  }
  if (event->answer.result < 0) errno = event->answer.error;
  return static_cast<int>(event->answer.result);
}

int ReplayBackend::open(const char* path, int flags) {
  return answer(expect(traced::Open{path, static_cast<std::uint32_t>(flags)}));
}

int ReplayBackend::close(int fd) { return answer(expect(traced::Close{fd})); }

int ReplayBackend::lock(int fd, int& holder) {
  const TraceEvent* event = expect(traced::Lock{fd});
  if (event != nullptr && event->answer.result != 0) {
    holder = static_cast<int>(event->answer.holder);
  }
  return answer(event);
}

// The trace does not say which descriptor a request went to.
int ReplayBackend::ioctl(int /*fd*/, unsigned long request, unsigned long argument) {
  const TraceEvent* event = expect(traced::Ioctl{request, traced_argument_of(request, argument)});
  if (event != nullptr && event->answer.received) {
    // Where the kernel writes its answer to a mailbox message.
    const auto* record = reinterpret_cast<const MailboxArgument*>(argument);
    reinterpret_cast<MailboxMessage*>(record->received)->words = *event->answer.received;
  }
  return answer(event);
}

void* ReplayBackend::memory_lost() {
  // The recorded run had this memory; a replay without it cannot go on as it did.
  stop_ = zel_base::OsError::last();
  errno = STOPPED_ERROR;
  return MAP_FAILED;
}

void* ReplayBackend::map(int fd, std::size_t size) {
  const TraceEvent* event = expect(traced::Map{fd, size});
  if (answer(event) != 0) return MAP_FAILED;
  // Address space only: the stack reaches registers through load and store, never directly.
  void* reserved =
      ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return memory_lost();
  if (configuration_) release(configuration_->address);
  configuration_ = Mapping{reserved, size};
  return reserved;
}

void* ReplayBackend::map_anonymous(std::size_t size) {
  const TraceEvent* event = expect(traced::MapAnonymous{size});
  if (answer(event) != 0) return MAP_FAILED;
  void* memory = system_backend().map_anonymous(size);
  if (memory == MAP_FAILED) return memory_lost();
  host_memory_.push_back({memory, size});
  return memory;
}

void ReplayBackend::release(void* address) {
  if (configuration_ && configuration_->address == address) {
    ::munmap(address, configuration_->size);
    configuration_.reset();
    return;
  }
  const auto found = std::ranges::find(host_memory_, address, &Mapping::address);
  if (found == host_memory_.end()) return;
  // Host memory is the replay's own: a failed unmap leaves nothing anyone could use.
  static_cast<void>(system_backend().unmap(found->address, found->size));
  host_memory_.erase(found);
}

int ReplayBackend::unmap(void* address, std::size_t size) {
  const bool configuration = configuration_ && configuration_->address == address;
  const TraceEvent* event = expect(traced::Unmap{configuration, size});
  const int unmapped = answer(event);
  // Memory the stack lets go is let go, whether or not the replay goes on.
  if (event == nullptr || unmapped == 0) {
    const int error = errno;
    release(address);
    errno = error;
  }
  return unmapped;
}

std::optional<std::uint32_t> ReplayBackend::offset_of(const volatile std::uint32_t* reg) const {
  const auto* at = reinterpret_cast<const volatile std::byte*>(reg);
  const auto* base =
      configuration_ ? static_cast<const std::byte*>(configuration_->address) : nullptr;
  if (base == nullptr || at < base || at >= base + configuration_->size) return std::nullopt;
  return static_cast<std::uint32_t>(at - base);
}

std::uint32_t ReplayBackend::load(const volatile std::uint32_t* reg) {
  const TraceEvent* event = expect(traced::Load{offset_of(reg)});
  return event != nullptr ? event->answer.value : STOPPED_LOAD;
}

void ReplayBackend::store(volatile std::uint32_t* reg, std::uint32_t value) {
  expect(traced::Store{offset_of(reg), value});
}

void ReplayBackend::to_device_barrier() { expect(traced::Barrier{}); }

std::chrono::nanoseconds ReplayBackend::now() {
  const TraceEvent* event = expect(traced::Now{});
  // A clock at its end ends every wait at its next look.
  return event != nullptr ? std::chrono::nanoseconds(event->t_ns) : std::chrono::nanoseconds::max();
}

void ReplayBackend::sleep_for(std::chrono::nanoseconds duration) {
  expect(traced::Sleep{duration.count()});
}

}  // namespace zel_driver
