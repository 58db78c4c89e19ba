// Reads the input as a trace, and replays it under the stack's bring-up: every line the reader
// takes reads back the same from the line the writer makes of it, every refusal is one line
// naming a line of the input, and no answer a trace can give (results, errno, mailbox words,
// loaded values, clock readings) crashes the stack or leaves it waiting.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/replay_backend.hpp"

namespace {

using zel_fuzz::check;
using namespace zel_driver;

// Small bounds keep each input cheap; the reader's own bounds are tested with these.
constexpr TraceLimits LIMITS{.line_bytes = 4096, .events = 2000};

void check_refusal(const TraceError& error, std::string_view input) {
  check(error.what.find('\n') == std::string::npos, "a refusal is one line");
  const auto lines = static_cast<std::uint64_t>(std::count(input.begin(), input.end(), '\n'));
  check(error.line >= 1 && error.line <= lines + 1, "a refusal names a line of the input");
}

// The writer's line of an event reads back as the event.
void check_round_trip(const TraceEvent& event) {
  std::istringstream again(
      R"({"t_ns":0,"op":"trace","format":"zel-trace/2","version":"","source_revision":"","run":{}})"
      "\n" +
      event_text(event) + "\n" + R"({"t_ns":)" + std::to_string(event.t_ns) +
      R"(,"op":"end","run":{}})" + "\n");
  auto reader = TraceReader::open(again, false, LIMITS);
  check(reader.has_value(), "a written trace opens");
  auto read = reader->next();
  check(read && *read, "a written line reads back");
  check(
      (*read)->call == event.call && (*read)->answer == event.answer && (*read)->t_ns == event.t_ns,
      "a written line reads back as the event it was written from");
}

void read_all(const std::string& input, bool unversioned) {
  std::istringstream in(input);
  auto reader = TraceReader::open(in, unversioned, LIMITS);
  if (!reader) return check_refusal(reader.error(), input);
  for (int checked = 0;;) {
    auto event = reader->next();
    if (!event) return check_refusal(event.error(), input);
    if (!*event) return;
    // A few per input: the writer is the same for every line of an op.
    if (checked++ < 4) check_round_trip(**event);
  }
}

// The stack's bring-up and a word read through a worker context, answered by the trace.
void replay(const std::string& input) {
  std::istringstream in(input);
  auto reader = TraceReader::open(in, false, LIMITS);
  if (!reader) return;
  ReplayBackend backend(*reader);
  {
    auto lock = DeviceLock::take("/dev/zel0", backend);
    auto device = Device::open("/dev/zel0", backend);
    if (device && device->initialize()) {
      static_cast<void>(device->read_tile_words_from_inactive_context(3, 1, 0x4c100, 1));
    }
  }
  const auto& stop = backend.finish();
  if (stop) {
    if (const auto* error = std::get_if<TraceError>(&*stop)) check_refusal(*error, input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  read_all(input, size % 2 == 1);
  replay(input);
  return 0;
}
