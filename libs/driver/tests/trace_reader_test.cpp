// Reading traces back: what the writer wrote reads as it was written, and what is not a whole,
// ordered trace of this format is refused at its line.
#include "zel_driver/trace_reader.hpp"

#include <cerrno>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "zel_driver/device.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/tracing_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

constexpr std::string_view HEAD =
    R"({"t_ns":0,"op":"trace","format":"zel-trace/2","version":"0.6.0","source_revision":"r1","run":{}})"
    "\n";
constexpr std::string_view END = R"({"t_ns":9,"op":"end","run":{}})"
                                 "\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every event of a trace, or the first error.
std::expected<std::vector<TraceEvent>, std::string> events_of(const std::string& text,
                                                              bool unversioned = false,
                                                              TraceLimits limits = {}) {
  std::istringstream in(text);
  auto reader = TraceReader::open(in, unversioned, limits);
  if (!reader) return std::unexpected(reader.error().text());
  std::vector<TraceEvent> events;
  for (;;) {
    auto event = reader->next();
    if (!event) return std::unexpected(event.error().text());
    if (!*event) return events;
    events.push_back(std::move(**event));
  }
}

TEST(TraceReader, ReadsBackEveryLineAsTheWriterWroteIt) {
  zel_sim::SimDevice sim;
  sim.faults().ioctl_failures.push_back({IOCTL_DETACH_BUFFER, ENOTTY});
  sim.faults().hsp_marks_kept_from = 1;
  std::ostringstream out;
  TracingBackend traced(sim, out, R"({"arguments":["c","p","b"]})");
  {
    auto lock = DeviceLock::take("/dev/zel0", traced);
    ASSERT_TRUE(lock);
    auto device = Device::open("/dev/zel0", traced);
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->initialize());
    traced.phase("poison");
    ASSERT_TRUE(device->write_tile_word_from_inactive_context(3, 1, 0x4c100, 0x600df00d));
    ASSERT_TRUE(device->read_tile_words_from_inactive_context(3, 1, 0x4c100, 1));
    void* memory = traced.map_anonymous(4096);
    ASSERT_TRUE(device->attach_buffer(2, static_cast<std::byte*>(memory), 4096));
    device->detach_buffer(2);
    traced.unmap(memory, 4096);
    traced.to_device_barrier();
    ASSERT_TRUE(device->set_mark(1));
    ASSERT_FALSE(device->wait_mark(0x302c, 0, std::chrono::microseconds(250)));
  }
  ASSERT_TRUE(traced.finish(R"({"exit_status":1})"));

  const std::vector<std::string> lines = lines_of(out.str());
  std::istringstream in(out.str());
  auto reader = TraceReader::open(in);
  ASSERT_TRUE(reader) << reader.error().text();
  EXPECT_EQ(reader->header().format, 2);
  EXPECT_EQ(reader->header().run, R"({"arguments":["c","p","b"]})");
  std::set<std::string_view> ops;
  for (std::size_t line = 2; line < lines.size(); ++line) {
    auto event = reader->next();
    ASSERT_TRUE(event && *event) << lines[line - 1];
    EXPECT_EQ((*event)->line, line);
    EXPECT_EQ(event_text(**event), lines[line - 1]);
    ops.insert(op_name((*event)->call));
  }
  auto past = reader->next();
  ASSERT_TRUE(past) << past.error().text();
  EXPECT_FALSE(*past);
  ASSERT_TRUE(reader->end());
  EXPECT_EQ(reader->end()->run, R"({"exit_status":1})");
  EXPECT_EQ(ops.size(), std::variant_size_v<TracedCall>) << "a line of every op was read back";
}

TEST(TraceReader, RefusesWhatIsNotAWholeOrderedTraceAtItsLine) {
  const std::string head(HEAD), end(END);
  const std::string load = R"({"t_ns":5,"op":"load","offset":"0x302c","value":"0x1"})"
                           "\n";
  const struct {
    std::string trace;
    std::string error;
  } cases[] = {
      {"", "line 1: the trace is empty"},
      {load + end,
       "line 1: no format line: not a trace, or one of zel 0.5 or before (this zel reads "
       "zel-trace/2)"},
      {R"({"t_ns":0,"op":"trace","format":"zel-trace/3","version":"1","source_revision":"r","run":{}})"
       "\n" +
           end,
       "line 1: trace format \"zel-trace/3\" is not one this zel reads (zel-trace/2)"},
      {head + load, "line 2: the trace ends here without its last line: it was cut short"},
      {head + load.substr(0, 20) + "\n" + end, "line 2: not a JSON object"},
      {head + R"({"t_ns":5,"op":"frob"})" + "\n" + end, "line 2: unknown op \"frob\""},
      {head + load + R"({"t_ns":4,"op":"now"})" + "\n" + end,
       "line 3: t_ns goes back from 5 to 4: lines out of order"},
      {head + R"({"t_ns":5,"op":"load","offset":"0x302c"})" + "\n" + end, "line 2: no \"value\""},
      {head + R"({"t_ns":5,"op":"now","colour":"red"})" + "\n" + end,
       "line 2: unknown field \"colour\""},
      {head + R"({"t_ns":5,"op":"store","offset":"0x302c","value":"1"})" + "\n" + end,
       "line 2: \"value\" is not a hexadecimal string up to 0xffffffff"},
      {head + R"({"t_ns":5,"op":"close","fd":3,"result":-1})" + "\n" + end, "line 2: no \"errno\""},
      {head + R"({"t_ns":5,"op":"close","fd":3,"result":-1,"errno":"EWHAT"})" + "\n" + end,
       "line 2: \"errno\" \"EWHAT\" is no error name"},
      {head +
           R"({"t_ns":5,"op":"ioctl","request":"attach","number":"0xc008ed0e","argument":"0x0","result":0})" +
           "\n" + end,
       "line 2: request \"attach\" is not the name of number 0xc008ed0e (set-id)"},
      {head +
           R"({"t_ns":5,"op":"ioctl","request":"mailbox","number":"0xc008ed1f","sent":["0x1","0x0","0x0","0x0","0x0"],"result":0})" +
           "\n" + end,
       "line 2: no \"received\""},
      {head + end + load, "line 3: a line after the last line"},
      {head + head + end, "line 2: a format line that is not the first line"},
      {head + R"({"t_ns":-5,"op":"now"})" + "\n" + end, "line 2: no \"t_ns\" of nanoseconds"},
  };
  for (const auto& c : cases) {
    auto read = events_of(c.trace);
    ASSERT_FALSE(read) << c.trace;
    EXPECT_EQ(read.error(), c.error) << c.trace;
  }
}

TEST(TraceReader, BoundsLineLengthAndEventCount) {
  const std::string now = R"({"t_ns":5,"op":"now"})"
                          "\n";
  const std::string trace = std::string(HEAD) + now + now + now + std::string(END);
  EXPECT_TRUE(events_of(trace, false, {.line_bytes = HEAD.size() - 1, .events = 3}));
  auto longer = events_of(trace, false, {.line_bytes = HEAD.size() - 2, .events = 3});
  ASSERT_FALSE(longer);
  EXPECT_EQ(longer.error(), fmt::format("line 1: longer than {} bytes", HEAD.size() - 2));
  auto more = events_of(trace, false, {.events = 2});
  ASSERT_FALSE(more);
  EXPECT_EQ(more.error(), "line 4: more than 2 events");
}

TEST(TraceReader, ReadsTheLastLineFirstCountingTheOthers) {
  const std::string now = R"({"t_ns":5,"op":"now"})"
                          "\n";
  const std::string whole = std::string(HEAD) + now + now + std::string(END);
  for (const std::string& trace : {whole, whole.substr(0, whole.size() - 1)}) {
    std::istringstream in(trace);
    in.seekg(static_cast<std::streamoff>(HEAD.size()));
    auto end = read_trace_end(in);
    ASSERT_TRUE(end) << end.error().text();
    EXPECT_EQ(end->t_ns, 9);
    EXPECT_EQ(end->run, "{}");
    EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(HEAD.size())) << "put back where it was";
  }
  const struct {
    std::string trace;
    std::string error;
  } cases[] = {
      {"", "line 1: the trace is empty"},
      {std::string(HEAD) + now + now,
       "line 3: the trace ends here without its last line: it "
       "was cut short"},
      {std::string(HEAD) + now + now.substr(0, 9),
       "line 3: the trace ends here without its "
       "last line: it was cut short"},
      {std::string(HEAD) + R"({"t_ns":9,"op":"end"})", "line 2: no \"run\""},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.trace);
    auto end = read_trace_end(in);
    ASSERT_FALSE(end) << c.trace;
    EXPECT_EQ(end.error().text(), c.error);
  }
  std::istringstream longer(std::string(HEAD) + std::string(END) + std::string(100, ' '));
  auto end = read_trace_end(longer, {.line_bytes = 64});
  ASSERT_FALSE(end);
  EXPECT_EQ(end.error().text(), "line 3: longer than 64 bytes");
}

TEST(TraceReader, ReadsATraceOfTheFormerFormatWhenAskedTo) {
  const std::string trace = R"({"t_ns":2,"op":"store","offset":"0x302c","value":"0x1"})"
                            "\n"
                            R"({"t_ns":3,"op":"load","offset":"0x302c","value":"0x1"})";
  auto events = events_of(trace, true);
  ASSERT_TRUE(events) << events.error();
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ((*events)[0].call, (TracedCall{traced::Store{0x302c, 1}}));
  EXPECT_EQ((*events)[1].line, 2u);
}

}  // namespace
}  // namespace zel_driver
