// Memory that runs short anywhere in a run ends it with one error line and everything
// released, never with an abort. This binary replaces the global allocator with one that
// fails the N-th allocation after it is armed, and runs the whole tool for N = 1, 2, ...
// until a run makes fewer than N allocations.
#include <pthread.h>
#include <signal.h>

#include <array>
#include <cstdlib>
#include <new>
#include <streambuf>
#include <string_view>

#include <gtest/gtest.h>

#include "reset_memory/run.hpp"
#include "tool_fixture.hpp"
#include "zel_base/forwarding_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

struct FailingAllocator {
  std::uint64_t countdown = 0;  // 0: disarmed
  bool suspended = false;
};
FailingAllocator allocator;

void* allocate(std::size_t size) {
  if (allocator.countdown != 0 && !allocator.suspended && --allocator.countdown == 0) {
    throw std::bad_alloc();
  }
  // malloc keeps the sanitizers' allocator underneath, so their checks still apply.
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace reset_memory {
namespace {

using zel_sim::SimConfig;
using zel_sim::SimDevice;

// While the simulated kernel or device works, allocations do not fail.
class InKernel {
 public:
  InKernel() : was_(allocator.suspended) { allocator.suspended = true; }
  ~InKernel() { allocator.suspended = was_; }
  InKernel(const InKernel&) = delete;
  InKernel& operator=(const InKernel&) = delete;

 private:
  bool was_;
};

// The simulated kernel and device allocate in this process, a real one does not: their
// allocations never fail here, so each failure lands in the stack.
class KernelMemoryNeverFails final : public zel_base::ForwardingBackend {
 public:
  using ForwardingBackend::ForwardingBackend;

  int open(const char* path, int flags) override {
    const InKernel kernel;
    return inner().open(path, flags);
  }
  int close(int fd) override {
    const InKernel kernel;
    return inner().close(fd);
  }
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    const InKernel kernel;
    return inner().ioctl(fd, request, argument);
  }
  void* map(int fd, std::size_t size) override {
    const InKernel kernel;
    return inner().map(fd, size);
  }
  void* map_anonymous(std::size_t size) override {
    const InKernel kernel;
    return inner().map_anonymous(size);
  }
  int unmap(void* address, std::size_t size) override {
    const InKernel kernel;
    return inner().unmap(address, size);
  }
  std::uint32_t load(const volatile std::uint32_t* reg) override {
    const InKernel kernel;
    return inner().load(reg);
  }
  void store(volatile std::uint32_t* reg, std::uint32_t value) override {
    const InKernel kernel;
    inner().store(reg, value);
  }
  void sleep_for(std::chrono::nanoseconds duration) override {
    const InKernel kernel;
    inner().sleep_for(duration);
  }
};

// Standard error over fixed storage: writing the error line must not allocate.
class FixedBuffer final : public std::streambuf {
 public:
  FixedBuffer() { setp(storage_.data(), storage_.data() + storage_.size()); }
  std::string_view text() const { return {pbase(), pptr()}; }

 private:
  std::array<char, 4096> storage_;
};

struct SweptRun {
  bool failed_an_allocation;
  int status;
  std::string err;
};

SweptRun run_failing_allocation(std::uint64_t n, const std::vector<std::string>& arguments,
                                SimDevice& sim) {
  KernelMemoryNeverFails backend(sim);
  FixedBuffer out_buffer, err_buffer;
  std::ostream out(&out_buffer), err(&err_buffer);
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  allocator.countdown = n;
  const int status = run(arguments, backend, out, err);
  const bool failed = allocator.countdown == 0;
  allocator.countdown = 0;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return {failed, status, std::string(err_buffer.text())};
}

// A small device keeps the sweep short: each tile of the package adds its own allocations,
// none of a new kind.
constexpr std::uint32_t SWEEP_TILES = 64;

// Fails allocation N of a whole run for N from `first` on, until `end` or a run that makes
// fewer than N allocations (which must pass); returns the N it stopped at.
std::uint64_t sweep(std::uint64_t first, std::uint64_t end) {
  const testing::ToolFiles files(SWEEP_TILES);
  const std::vector<std::string> arguments = files.arguments();
  std::uint64_t n = first;
  for (; n < end; ++n) {
    SimDevice sim(SimConfig{.tile_count = 1472});
    const SweptRun result = run_failing_allocation(n, arguments, sim);
    EXPECT_EQ(sim.open_descriptors(), 0u) << n;
    EXPECT_EQ(sim.live_mappings(), 0u) << n;
    EXPECT_EQ(sim.live_host_buffers(), 0u) << n;
    EXPECT_TRUE(sim.attachments().empty()) << n;
    EXPECT_TRUE(sim.refusals().empty()) << n << ": " << sim.refusals().front();
    if (!result.failed_an_allocation) {
      EXPECT_EQ(result.status, 0) << result.err;
      break;
    }
    EXPECT_EQ(result.status, 1) << n;
    EXPECT_TRUE(result.err.starts_with("Error: ")) << n << ": " << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << n << ": " << result.err;
    // The package reader says it as any failure of reading the message; everything else as
    // the system's error.
    const bool package_form = result.err.starts_with(
        "Error: Capnp(Exception { type: Overloaded, description: \"Cannot allocate memory\" })");
    EXPECT_TRUE(package_form || result.err.find("code: 12, kind: OutOfMemory") != std::string::npos)
        << n << ": " << result.err;
    if (::testing::Test::HasFailure()) break;
  }
  return n;
}

// Two parts of about the same cost, so that ctest runs them side by side: together they fail
// every allocation. A run that gets past about allocation 450 loads the application and costs
// a hundred times more than one that fails sooner; half the cost lay below 514 when a whole
// run made 566 allocations (the property the second part records).
constexpr std::uint64_t SECOND_PART = 514;

TEST(AllocationFailure, EveryAllocationOfTheFirstPartOfARunFailsCleanly) { sweep(1, SECOND_PART); }

TEST(AllocationFailure, EveryAllocationOfTheRestOfARunFailsCleanly) {
  const std::uint64_t n = sweep(SECOND_PART, UINT64_MAX);
  RecordProperty("allocations_of_a_whole_run", static_cast<int>(n - 1));
}

}  // namespace
}  // namespace reset_memory
