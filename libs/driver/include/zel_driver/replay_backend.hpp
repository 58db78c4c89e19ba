#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
#include <vector>

#include "zel_base/forwarding_backend.hpp"
#include "zel_base/os_error.hpp"
#include "zel_driver/trace_reader.hpp"

namespace zel_driver {

// Where a replay parted from its trace: the recorded event the stack's call did not match.
struct ReplayDivergence {
  std::uint64_t event = 0;             // its number among the trace's events, from 1
  std::uint64_t line = 0;              // its line in the trace
  std::optional<TraceEvent> recorded;  // none: the recorded run had made no more calls
  std::optional<TracedCall> made;      // none: the stack's run was over
  std::deque<TraceEvent> before;       // the events just before it, oldest first
  std::string phase;                   // of the recorded run there; empty before the first
};

// Why a replay stopped before its run was over: a divergence, a line of the trace that
// cannot be read, or host memory the replay could not have (the recorded run had it).
using ReplayStop = std::variant<ReplayDivergence, TraceError, zel_base::OsError>;

// A backend that answers every call from a recorded trace (TraceReader, read as the calls
// come) and checks that each call the stack makes is the recorded one: the same operation
// and what it asked (offset, value written, request and decoded argument, size, path, sleep),
// in the same order. It answers as the trace does: results and errno, loaded values, mailbox
// answers written where the kernel would write them, a lock's holder, and clock readings, so
// every wait ends at the same read as in the recorded run. Phase lines are passed over.
//
// Mappings are real: the configuration space is address space with no access (every register
// access goes through load and store), host memory is mapped by the system. A call that
// departs from the trace stops the replay: that call and every later one is refused (-1 or
// MAP_FAILED with ECANCELED, loads read 0xffffffff, the clock reads its end) so the run winds
// down at its first error, and what it left mapped is unmapped.
class ReplayBackend final : public zel_base::Backend {
 public:
  // `trace` is read from its first event on and must outlive the backend; `context` events
  // before a divergence are kept.
  explicit ReplayBackend(TraceReader& trace, std::size_t context = 3);
  ReplayBackend(const ReplayBackend&) = delete;
  ReplayBackend& operator=(const ReplayBackend&) = delete;
  ~ReplayBackend() override;

  int open(const char* path, int flags) override;
  int close(int fd) override;
  int lock(int fd, int& holder) override;
  int ioctl(int fd, unsigned long request, unsigned long argument) override;
  void* map(int fd, std::size_t size) override;
  void* map_anonymous(std::size_t size) override;
  int unmap(void* address, std::size_t size) override;
  std::uint32_t load(const volatile std::uint32_t* reg) override;
  void store(volatile std::uint32_t* reg, std::uint32_t value) override;
  void to_device_barrier() override;
  std::chrono::nanoseconds now() override;
  void sleep_for(std::chrono::nanoseconds duration) override;

  // Once the stack's run is over: the rest of the trace must hold no call. None when the
  // replay was faithful to the last line; trace().end() then holds the last line.
  const std::optional<ReplayStop>& finish();
  bool stopped() const { return stop_.has_value(); }
  const std::optional<ReplayStop>& stop() const { return stop_; }

  // How far the replay has come on the trace's clock: the time of the last event it read.
  std::chrono::nanoseconds recorded_time() const { return recorded_time_; }
  // That time as a backend's clock, for what watches the replay (its trace, report and log):
  // its readings are not calls of the stack. Its other calls go to the replay.
  zel_base::Backend& recorded_clock() { return recorded_clock_; }

 private:
  class RecordedClock final : public zel_base::ForwardingBackend {
   public:
    explicit RecordedClock(ReplayBackend& replay) : ForwardingBackend(replay), replay_(replay) {}
    std::chrono::nanoseconds now() override { return replay_.recorded_time(); }

   private:
    ReplayBackend& replay_;
  };

  struct Mapping {
    void* address;
    std::size_t size;
  };

  // The recorded event of the call the stack makes, or none when the replay has stopped (the
  // call then is refused).
  const TraceEvent* expect(TracedCall made);
  // The next event of the trace, phases passed over; false once the replay stopped.
  bool advance();
  void diverge(std::optional<TracedCall> made);
  int answer(const TraceEvent* event);
  void* memory_lost();
  std::optional<std::uint32_t> offset_of(const volatile std::uint32_t* reg) const;
  // Unmaps a mapping of the replay's own; any other address is left alone.
  void release(void* address);

  TraceReader& trace_;
  std::size_t context_;
  std::optional<TraceEvent> current_;  // the event being answered
  std::uint64_t events_ = 0;           // read so far
  std::deque<TraceEvent> before_;
  std::string phase_;
  std::optional<ReplayStop> stop_;
  std::chrono::nanoseconds recorded_time_{0};
  RecordedClock recorded_clock_{*this};
  std::optional<Mapping> configuration_;
  std::vector<Mapping> host_memory_;
};

}  // namespace zel_driver
