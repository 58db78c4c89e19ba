// Every constant of the device's protocol, pinned to its literal value as the device's
// description gives it, in the stack (driver and tool) and in the simulated device alike. The
// two are written independently; a shared misreading would pass every test that runs the one
// against the other, but not this table.
#include <cstddef>
#include <cstdint>
#include <optional>

#include <gtest/gtest.h>

#include "reset_memory/application_load.hpp"
#include "reset_memory/memory_check.hpp"
#include "zel_driver/autoloader.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/host_sync.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/mailbox.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_driver/tile_context.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_driver/transport.hpp"
#include "zel_driver/transport_frames.hpp"
#include "zel_sim/protocol/autoloader_fields.hpp"
#include "zel_sim/protocol/host_timeouts.hpp"
#include "zel_sim/protocol/icu.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/protocol/tile_debug.hpp"
#include "zel_sim/protocol/transport.hpp"
#include "zel_sim/sim_device.hpp"
#include "zel_sim/tile_memory.hpp"
#include "zel_target/target.hpp"

namespace {

namespace d = zel_driver;
namespace s = zel_sim;
using std::nullopt;

struct Pin {
  const char* name;
  std::uint64_t literal;
  std::optional<std::uint64_t> stack;
  std::optional<std::uint64_t> sim;
};

template <class Duration>
std::uint64_t ns(Duration duration) {
  return static_cast<std::uint64_t>(std::chrono::nanoseconds(duration).count());
}

constexpr zel_target::AddressRange TILE_MEMORY =
    zel_target::Target(zel_target::Target::Zel21).tile_memory();

const Pin PINS[] = {
    // The kernel driver's interface.
    {"open flags", 0x80002, d::DEVICE_OPEN_FLAGS, s::kernel::OPEN_FLAGS},
    {"configuration space size", 0x80000, d::CONFIG_BAR_SIZE, s::kernel::CONFIG_SPACE_BYTES},
    {"last configuration offset", 0x7fffc, d::CONFIG_OFFSET_LAST, nullopt},
    {"mapping protection", 0x3, d::MAP_PROTECTION, s::kernel::HOST_MEMORY_PROTECTION},
    {"configuration mapping flags", 0x1, d::CONFIG_BAR_MAP_FLAGS, nullopt},
    {"host memory mapping flags", 0x8022, d::HOST_BUFFER_MAP_FLAGS,
     s::kernel::HOST_MEMORY_MAP_FLAGS},
    {"IOCTL_ATTACH", 0xc008ed0a, d::IOCTL_ATTACH, s::kernel::ATTACH},
    {"IOCTL_ATTACH_BUFFER", 0xc008ed0b, d::IOCTL_ATTACH_BUFFER, s::kernel::ATTACH_BUFFER},
    {"IOCTL_DETACH_BUFFER", 0xc008ed0c, d::IOCTL_DETACH_BUFFER, s::kernel::DETACH_BUFFER},
    {"IOCTL_SET_ID", 0xc008ed0e, d::IOCTL_SET_ID, s::kernel::SET_ID},
    {"IOCTL_MAILBOX", 0xc008ed1f, d::IOCTL_MAILBOX, s::kernel::MAILBOX},
    {"IOCTL_STOP_MONITORING", 0xed22, d::IOCTL_STOP_MONITORING, s::kernel::STOP_MONITORING},
    {"IOCTL_START_MONITORING", 0xed23, d::IOCTL_START_MONITORING, s::kernel::START_MONITORING},
    {"IOCTL_ACCUMULATE_ERRORS", 0xed24, d::IOCTL_ACCUMULATE_ERRORS, s::kernel::ACCUMULATE_ERRORS},
    {"IOCTL_NOTIFY_RESET", 0x4004ed2d, d::IOCTL_NOTIFY_RESET, s::kernel::NOTIFY_RESET},
    {"IOCTL_SET_SECONDARY_ID", 0x4008ed2f, d::IOCTL_SET_SECONDARY_ID, s::kernel::SET_SECONDARY_ID},
    {"attach-buffer record size", 16, sizeof(d::AttachBufferData), s::kernel::ATTACH_RECORD_BYTES},
    {"attach-buffer index field", 0, offsetof(d::AttachBufferData, index),
     s::kernel::ATTACH_RECORD_INDEX},
    {"attach-buffer size field", 4, offsetof(d::AttachBufferData, size),
     s::kernel::ATTACH_RECORD_SIZE},
    {"attach-buffer address field", 8, offsetof(d::AttachBufferData, address),
     s::kernel::ATTACH_RECORD_ADDRESS},
    {"mailbox record size", 16, sizeof(d::MailboxArgument), s::kernel::MAILBOX_RECORD_BYTES},
    {"mailbox sent field", 0, offsetof(d::MailboxArgument, sent), s::kernel::MAILBOX_RECORD_SENT},
    {"mailbox received field", 8, offsetof(d::MailboxArgument, received),
     s::kernel::MAILBOX_RECORD_RECEIVED},
    {"mailbox message size", 20, sizeof(d::MailboxMessage), s::kernel::MAILBOX_MESSAGE_BYTES},
    {"secondary ID slot", 8, nullopt, s::kernel::SECONDARY_ID_BYTES},
    // The ICU.
    {"ICU reset request", 0x4078020e, d::ICU_RESET_REQUEST, s::icu::RESET_REQUEST},
    {"ICU answer mask", 0xffff0000, d::ICU_RESPONSE_MASK, s::icu::ANSWER_MASK},
    {"ICU accepted answer", 0x40780000, d::ICU_RESET_REQUEST& d::ICU_RESPONSE_MASK,
     s::icu::RESET_MESSAGE[0] & s::icu::ANSWER_MASK},
    // Registers.
    {"CCSR", 0x2000, d::CCSR, s::reg::CCSR},
    {"CCSR exchange bits", 0x402, d::CCSR_EXCHANGE_BITS, s::reg::CCSR_EXCHANGE_BITS},
    {"AUTOLOADER_CONTROL", 0x2068, d::AUTOLOADER_CONTROL, s::reg::AUTOLOADER_CONTROL},
    {"AUTOLOADER_ZONE", 0x206c, d::AUTOLOADER_ZONE, s::reg::AUTOLOADER_ZONE},
    {"AUTOLOADER_DATA", 0x2070, d::AUTOLOADER_DATA, s::reg::AUTOLOADER_DATA},
    {"HSP_SYNC_CONTROL_0", 0x302c, d::HSP_SYNC_CONTROL_0, s::reg::HSP_SYNC_CONTROL_0},
    {"HSP_SYNC_CONTROL_1", 0x3030, d::HSP_SYNC_CONTROL_1, s::reg::HSP_SYNC_CONTROL_1},
    {"HSP mark mask", 0xffff, d::HSP_MARK_MASK, s::reg::HSP_MARK_MASK},
    {"HSP mark limit", 0xffff, d::HSP_MARK_LIMIT, s::reg::HSP_MARK_MASK},
    {"LOADER_SETUP", 0x3044, d::LOADER_SETUP, s::reg::LOADER_SETUP},
    {"LOADER_SETUP value", 0x800, d::LOADER_SETUP_VALUE, s::reg::LOADER_SETUP_VALUE},
    {"exchange block 0", 0x5404, d::xb::address(0), s::xb::control_register(0)},
    {"exchange block 7", 0x7004, d::xb::address(7), s::xb::control_register(7)},
    {"exchange block 8", 0x1b804, d::xb::address(8), s::xb::control_register(8)},
    {"exchange block 15", 0x1d404, d::xb::address(15), s::xb::control_register(15)},
    {"exchange transfer word", 0x7fffffa, d::xb::control(d::xb::TRANSFER_REQUEST_ID),
     s::xb::TRANSFER_CONTROL},
    {"exchange primary word", 0x2, d::xb::control(0), s::xb::PRIMARY_CONTROL},
    {"exchange secondary word", 0x20820a, d::xb::control(1), s::xb::SECONDARY_CONTROL},
    {"TILE_DEBUG_BASE", 0x30000, d::TILE_DEBUG_BASE, s::reg::TILE_DEBUG_BASE},
    {"tile debug stride", 64, d::TILE_DEBUG_STRIDE, s::reg::TILE_DEBUG_STRIDE},
    {"TILE_CONTEXT_STATUS", 0, d::TILE_CONTEXT_STATUS, s::tdi::CONTEXT_STATUS},
    {"TILE_RUN_BREAK", 1, d::TILE_RUN_BREAK, s::tdi::RUN_BREAK},
    {"TILE_DEBUG_INSTRUCTION", 3, d::TILE_DEBUG_INSTRUCTION, s::tdi::INSTRUCTION},
    {"TILE_DEBUG_CONTEXT", 4, d::TILE_DEBUG_CONTEXT, s::tdi::CONTEXT},
    {"TILE_CONTEXT_RESUME", 6, d::TILE_CONTEXT_RESUME, s::tdi::CONTEXT_RESUME},
    {"TILE_DEBUG_DATA", 7, d::TILE_DEBUG_DATA, s::tdi::DEBUG_DATA},
    {"TILE_DEBUG_STATUS", 8, d::TILE_DEBUG_STATUS, s::tdi::DEBUG_STATUS},
    {"TILE_DEBUG_CONTROL", 9, d::TILE_DEBUG_CONTROL, s::tdi::DEBUG_CONTROL},
    // Fields and words.
    {"autoloader load pointer mask", 0x3f, d::AUTOLOADER_LOAD_POINTER_MASK,
     s::autoloader::LOAD_POINTER_MASK},
    {"autoloader busy", 0x100, d::AUTOLOADER_BUSY, s::autoloader::BUSY},
    {"autoloader last tile shift", 9, d::AUTOLOADER_LAST_TILE_SHIFT,
     s::autoloader::LAST_TILE_SHIFT},
    {"autoloader last tile mask", 0x7ff, d::AUTOLOADER_LAST_TILE_MASK,
     s::autoloader::LAST_TILE_MASK},
    {"autoloader first command", 0x100000, d::AUTOLOADER_FIRST_COMMAND,
     s::autoloader::FIRST_COMMAND},
    {"autoloader zone bit", 0x2000000, d::AUTOLOADER_ZONE_BIT, s::autoloader::ZONE_BIT},
    {"autoloader window zone", 0x209c000, d::AUTOLOADER_WINDOW_ZONE, s::autoloader::WINDOW_ZONE},
    {"autoloader prefix unit", 1024, d::AUTOLOADER_PREFIX_UNIT, s::autoloader::PREFIX_UNIT},
    {"autoloader largest prefix", 4096, d::AUTOLOADER_MAX_PREFIX, s::autoloader::MAX_PREFIX},
    {"autoloader largest tile count", 2048, d::AUTOLOADER_MAX_TILES,
     s::autoloader::LAST_TILE_MASK + 1},
    {"autoloader read-back every", 32, d::AUTOLOADER_WORDS_PER_READBACK, nullopt},
    {"contexts", 7, d::TILE_CONTEXT_COUNT, s::tdi::CONTEXTS},
    {"M registers", 16, d::TILE_M_REGISTER_COUNT, s::tdi::M_REGISTERS},
    {"context state mask", 3, d::TILE_CONTEXT_STATE_MASK, s::tdi::STATE_MASK},
    {"context inactive", 0, d::TILE_CONTEXT_INACTIVE, s::tdi::INACTIVE},
    {"context running", 1, d::TILE_CONTEXT_RUNNING, s::tdi::RUNNING},
    {"context stopped", 2, d::TILE_CONTEXT_STOPPED, s::tdi::STOPPED},
    {"debug control execute", 6, d::TILE_DEBUG_CONTROL_EXECUTE, s::tdi::EXECUTE},
    {"TDI busy", 0x8, d::TDI_STATUS_BUSY, s::tdi::STATUS_BUSY},
    {"TDI failure", 0x7, d::TDI_STATUS_FAILURE, s::tdi::STATUS_FAILURE},
    {"put debug data M0", 0x43008070, *d::tdi_instruction::put_debug_data_m(0),
     s::tdi::PUT_DEBUG_DATA},
    {"put debug data M15", 0x43f08070, *d::tdi_instruction::put_debug_data_m(15),
     s::tdi::PUT_DEBUG_DATA | 15 << s::tdi::PUT_REGISTER_SHIFT},
    {"get debug data M0", 0x41000070, d::tdi_instruction::get_debug_data_m(0),
     s::tdi::GET_DEBUG_DATA},
    {"get debug data M1", 0x41010070, d::tdi_instruction::get_debug_data_m(1),
     s::tdi::GET_DEBUG_DATA | 1 << s::tdi::GET_REGISTER_SHIFT},
    {"load word", 0x01f01000, d::tdi_instruction::TDI_LOAD_WORD, s::tdi::LOAD_WORD},
    {"store word", 0x4f10f000, d::tdi_instruction::TDI_STORE_WORD, s::tdi::STORE_WORD},
    // Tile memory and the application load.
    {"tile memory start", 0x4c000, TILE_MEMORY.start, s::TILE_MEMORY_START},
    {"tile memory end", 0xe8000, TILE_MEMORY.end, s::TILE_MEMORY_END},
    {"first tile memory word", 0x4c000, d::TILE_MEMORY_WORD_FIRST, s::TILE_MEMORY_START},
    {"last tile memory word", 0xe7ffc, d::TILE_MEMORY_WORD_LAST, s::TILE_MEMORY_END - 4},
    {"load base", 0x4c000, d::BOOTLOADER_ADDRESS, s::transport::BOOTLOADER_ADDRESS},
    {"descriptor area", 0x1000, d::DESCRIPTOR_AREA_BYTES, nullopt},
    {"bootloader padding", 0x400, d::BOOTLOADER_PADDING_UNIT, nullopt},
    {"largest loader tile count", 2048, d::LOADER_LARGEST_TILE_COUNT, nullopt},
    {"transport size", 0x2842000, d::TRANSPORT_BYTES, s::transport::BYTES},
    {"transport index", 0, d::TRANSPORT_INDEX, s::transport::INDEX},
    {"transport sentinel", 0xff, std::to_integer<std::uint64_t>(d::SENTINEL_FILL),
     s::transport::SENTINEL_FILL},
    {"batch slots", 64, d::BATCH_SLOTS, s::transport::BATCH_SLOTS},
    {"descriptor size", 8, d::DESCRIPTOR_BYTES, s::transport::DESCRIPTOR_BYTES},
    {"descriptor offset field", 0, d::DESCRIPTOR_OFFSET_FIELD, s::transport::DESCRIPTOR_OFFSET},
    {"descriptor frames field", 4, d::DESCRIPTOR_FRAMES_FIELD, s::transport::DESCRIPTOR_FRAMES},
    {"first frame offset", 0x1000, d::FIRST_FRAME_OFFSET, s::transport::FIRST_FRAME_OFFSET},
    {"frame size", 1024, d::FRAME_BYTES, s::transport::FRAME_BYTES},
    {"frame number field", 0, d::FRAME_NUMBER_OFFSET, s::transport::FRAME_NUMBER},
    {"frame tile field", 4, d::FRAME_TILE_OFFSET, s::transport::FRAME_TILE},
    {"frame flags field", 8, d::FRAME_FLAGS_OFFSET, s::transport::FRAME_FLAGS},
    {"frame reserved field", 12, d::FRAME_RESERVED_OFFSET, s::transport::FRAME_RESERVED},
    {"frame payload offset", 16, d::FRAME_HEADER_BYTES, s::transport::FRAME_PAYLOAD},
    {"frame payload size", 992, d::FRAME_PAYLOAD_BYTES, s::transport::FRAME_PAYLOAD_BYTES},
    {"frame trailer size", 16, d::FRAME_TRAILER_BYTES, s::transport::FRAME_TRAILER_BYTES},
    {"frame trailer fill", 0xff, std::to_integer<std::uint64_t>(d::FRAME_TRAILER_FILL),
     s::transport::FRAME_TRAILER_FILL},
    {"last frame flag", 0x08000000, d::LAST_FRAME_FLAG, s::transport::LAST_FRAME_FLAG},
    {"secondary-loader address", 0x4c010, d::SECONDARY_LOADER_ADDRESS,
     s::transport::SECONDARY_LOADER_ADDRESS},
    {"minimum image", 0x4134, d::MINIMUM_IMAGE_BYTES, s::transport::MINIMUM_IMAGE_BYTES},
    {"most frames per tile", 643, d::MAX_TILE_FRAMES, s::transport::MAX_TILE_FRAMES},
    {"batch mark", 1, d::BATCH_MARK, s::transport::TRANSFER_MARK},
    {"sentinel mark", 1, d::SENTINEL_MARK, s::transport::TRANSFER_MARK},
    {"final mark", 23, reset_memory::FINAL_MARK, *s::SimConfig{}.initial_sync_mark},
    // The check.
    {"poison", 0x7e007e00, reset_memory::POISON_VALUE, nullopt},
    {"tile debug setup", 0x4000007f, reset_memory::TILE_DEBUG_SETUP, nullopt},
    {"worker context", 1, reset_memory::WORKER_CONTEXT, nullopt},
    {"reset tile count", 1472, reset_memory::RESET_TILE_COUNT, nullopt},
    // Time.
    {"TDI instruction timeout ns", 100'000'000, ns(d::TDI_INSTRUCTION_TIMEOUT),
     ns(s::host_timeouts::TDI_INSTRUCTION)},
    {"context stop timeout ns", 100'000'000, ns(d::CONTEXT_STOP_TIMEOUT),
     ns(s::host_timeouts::CONTEXT_STOP)},
    {"autoloader timeout ns", 2'000'000'000, ns(d::AUTOLOADER_TIMEOUT),
     ns(s::host_timeouts::AUTOLOADER)},
    {"loader wait timeout ns", 10'000'000'000, ns(d::LOADER_WAIT_TIMEOUT),
     ns(s::host_timeouts::MARK)},
    {"mark poll interval ns", 100'000, ns(d::HSP_POLL_INTERVAL),
     ns(s::host_timeouts::POLL_INTERVAL)},
    {"autoloader poll interval ns", 100'000, ns(d::AUTOLOADER_POLL_INTERVAL),
     ns(s::host_timeouts::POLL_INTERVAL)},
};

TEST(ProtocolPins, StackAndSimulatorHoldTheLiteralValues) {
  for (const Pin& pin : PINS) {
    ASSERT_TRUE(pin.stack || pin.sim) << pin.name;
    EXPECT_EQ(pin.stack.value_or(pin.literal), pin.literal) << "stack: " << pin.name;
    EXPECT_EQ(pin.sim.value_or(pin.literal), pin.literal) << "simulator: " << pin.name;
  }
}

}  // namespace
