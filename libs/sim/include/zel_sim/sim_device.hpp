#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "zel_base/backend.hpp"
#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/refusals.hpp"
#include "zel_sim/sim_autoloader.hpp"
#include "zel_sim/sim_bootloader.hpp"
#include "zel_sim/sim_bring_up.hpp"
#include "zel_sim/sim_buffers.hpp"
#include "zel_sim/sim_exchange_blocks.hpp"
#include "zel_sim/sim_host_sync.hpp"
#include "zel_sim/sim_tiles.hpp"
#include "zel_sim/tile_memory.hpp"
#include "zel_sim/trace.hpp"
#include "zel_sim/zeroed_table.hpp"

namespace zel_sim {

// What register accesses and kernel requests cost in virtual time.
struct Latency {
  std::chrono::nanoseconds load{1000};
  std::chrono::nanoseconds store{100};
  std::chrono::nanoseconds syscall{2000};
};

struct SimConfig {
  // Where the device node appears; none: the node is absent.
  std::optional<std::string> node_path = "/dev/zel0";
  // Tiles of the device, at most 2048.
  std::uint32_t tile_count = 1472;
  Latency latency;
  bool trace = false;
  // The mark the loaded application waits for at its initial synchronization: the idle
  // application's. The device cannot tell what the host was asked to send, only what the
  // program on its tiles expects. None takes any mark.
  std::optional<std::uint32_t> initial_sync_mark = 23;
  // Host memory in transparent huge pages that come in as first touched, rather than
  // populated up front in small pages as the host's system call makes it. The stack sees the
  // same zeroed memory and pays only for the pages it touches.
  bool lazy_host_memory = false;

  // A device that ends every run as the default one does, cheaper to wait for and to load
  // into, for a caller that runs very many, as a fuzzer does. Register reads take 10 ms of
  // virtual time rather than 1 us, so a wait the device never answers times out after about
  // a thousand reads rather than a hundred thousand; it answers every other wait well within
  // the host's timeout either way, and the host sees an answer on its first read at or after
  // it. Host memory comes lazily, so a load pays for the part of the 42 MB transport it
  // reaches. Only the times the host measures differ.
  static SimConfig for_many_runs();
};

// The simulated kernel driver and device behind the Backend interface. Deterministic and
// single-threaded: the device reacts inside load, store and ioctl, on a virtual clock that
// only register accesses, requests and sleeps advance.
//
// Strict: the kernel refuses an open other than read/write with close-on-exec, a request it
// does not serve, kernel::ATTACH and kernel::SET_ID with an argument other than 0 or out of order
// (attach, then set the ID, each once per open), any other request on a handle not attached
// with its ID set, malformed records, and calls on descriptors or mappings it did not hand
// out; each model refuses what it cannot accept of its own protocol. A refusal is recorded
// (refusals()) and answered as the real thing would: a failed call, or a register protocol
// left hanging so the host times out. When the device goes away, what nobody expected or took
// goes to the unclaimed-refusals handler.
class SimDevice final : public zel_base::Backend {
 public:
  explicit SimDevice(SimConfig config = {});
  ~SimDevice() override;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Leaves this device as if it went away and a new one with the same configuration came in
  // its place: host memory the stack left mapped is released and the unclaimed refusals go to
  // the handler, as when a device goes away; the registers hold their power-up values, tile
  // memory is zero, and the kernel's accounting, clock, fault switches and firings, refusals,
  // trace and every model start afresh. A new device's tables cost more to make than a short
  // run; this clears them instead, for callers that run one session after another.
  void power_up();

  // --- Backend ---
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
  std::chrono::nanoseconds now() override { return state_->now; }
  void sleep_for(std::chrono::nanoseconds duration) override;

  // --- what tests and tools look at and set ---
  Faults& faults() { return state_->faults; }
  const FaultFirings& fault_firings() const { return state_->firings; }
  Trace& trace() { return state_->trace; }
  const Trace& trace() const { return state_->trace; }

  // Kernel accounting: what the stack holds open, mapped and attached right now.
  std::size_t open_descriptors() const { return state_->handles.size(); }
  std::size_t live_mappings() const { return state_->live_mappings; }
  // Host memory mapped for the device (real anonymous mappings) and not yet unmapped.
  std::size_t live_host_buffers() const { return state_->host_buffers.size(); }
  const std::vector<Attachment>& attachments() const { return state_->buffers.attachments(); }
  // The memory attached under `index`, read as the device reads it (by DMA); none if nothing is.
  std::optional<std::span<const std::byte>> attached_memory(std::uint32_t index) const {
    return state_->buffers.memory(index);
  }
  // The bring-up requests served (monitoring, errors, reset notification, secondary ID,
  // mailbox) and the ICU's side of the mailbox.
  const SimBringUp& bring_up() const { return state_->bring_up; }
  // Whether an open handle has been attached, and given its ID.
  bool attached() const;
  bool id_set() const;

  // A register as the device holds it, read or written without time passing or a trace.
  std::uint32_t peek(std::uint32_t offset) const;
  void poke(std::uint32_t offset, std::uint32_t value);

  // The tile memory of every tile, as the device holds it.
  TileMemory& tile_memory() { return tile_memory_; }
  const TileMemory& tile_memory() const { return tile_memory_; }

  // The tiles' debug windows: context states and M registers.
  SimTiles& tiles() { return state_->tiles; }
  const SimTiles& tiles() const { return state_->tiles; }

  // Every departure from the protocol the simulated kernel or device noticed and refused (a
  // malformed frame, say), each naming what was wrong, in order.
  const std::vector<std::string>& refusals() const { return state_->refusals.list(); }
  // Hands the refusals so far to the caller, who deals with them.
  std::vector<std::string> take_refusals() { return state_->refusals.take(); }
  // Refusals naming `substring` are expected; at least one must come before the device goes.
  void expect_refusal(std::string substring) { state_->refusals.expect(std::move(substring)); }

 private:
  // What the kernel knows of one open descriptor.
  struct Handle {
    bool attached = false;
    bool id_set = false;
  };

  std::uint32_t register_offset(const volatile std::uint32_t* reg) const;
  std::optional<const IoctlFault*> injected_failure(unsigned long request) const;
  int handle_ioctl(Handle& handle, unsigned long request, unsigned long argument);
  int attach(Handle& handle, unsigned long argument);
  int set_id(Handle& handle, unsigned long argument);

  // Device side: how a register reacts to the host.
  std::uint32_t device_load(std::uint32_t offset);
  void device_store(std::uint32_t offset, std::uint32_t value);

  // Everything a power-up makes anew: the kernel's accounting, the clock, the fault switches,
  // refusals and trace, and the device and kernel models, one per capability, which refer to
  // these and to the tables.
  struct State {
    State(const SimConfig& config, std::span<std::uint32_t> registers, TileMemory& tile_memory);

    Faults faults;
    FaultFirings firings;
    Refusals refusals;
    Trace trace;
    std::chrono::nanoseconds now{0};

    std::map<int, Handle> handles;
    std::optional<int> locked_by;  // the descriptor holding the node's lock
    int next_fd = 1000;            // far from the process's own descriptors, so mix-ups show
    std::size_t live_mappings = 0;
    std::map<void*, std::size_t> host_buffers;

    SimTiles tiles;
    SimBringUp bring_up{faults, firings, refusals};
    SimBuffers buffers{refusals};
    SimExchangeBlocks exchange_blocks;
    SimBootloader bootloader;
    SimHostSync host_sync{faults, firings, refusals, bootloader};
    SimAutoloader autoloader;
  };

  // Registers at their power-up values and a new state, over zero tables.
  void switch_on();
  // What a device that goes away does: releases the host memory the stack left mapped and
  // hands the unclaimed refusals to the handler.
  void go_away();

  SimConfig config_;
  // The configuration space and every tile's memory: made once, cleared at a power-up.
  ZeroedTable<std::uint32_t> registers_;
  TileMemory tile_memory_;
  std::optional<State> state_;
};

}  // namespace zel_sim
