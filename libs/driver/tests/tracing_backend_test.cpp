// The tracing decorator: what it writes of each call, and that the stack cannot tell it is there.
#include "zel_driver/tracing_backend.hpp"

#include <cerrno>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "zel_base/version.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

// Lines kept as a string stream keeps them, but every write leaves errno as a failing write
// would: the traced call's own error must survive the line written after it.
class ErrnoClobberingLines : public std::stringbuf {
 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    errno = EIO;
    return std::stringbuf::xsputn(text, count);
  }
  int_type overflow(int_type c) override {
    errno = EIO;
    return std::stringbuf::overflow(c);
  }
};

TEST(TracingBackend, KeepsTheErrorOfAFailedCallAndNamesIt) {
  zel_sim::SimDevice sim;
  sim.faults().ioctl_failures.push_back({IOCTL_SET_ID, EPERM});
  ErrnoClobberingLines buffer;
  std::ostream lines(&buffer);
  TracingBackend traced(sim, lines);
  auto device = Device::open("/dev/zel0", traced);
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error().debug(),
            "Io { operation: \"set ZEL ID\", source: Os { code: 1, kind: PermissionDenied, "
            "message: \"Operation not permitted\" } }");
  EXPECT_TRUE(traced.finish());
  const std::string text = buffer.str();
  const std::string first_line = text.substr(0, text.find('\n') + 1);
  EXPECT_EQ(
      first_line,
      fmt::format("{{\"t_ns\":0,\"op\":\"trace\",\"format\":\"zel-trace/2\",\"version\":\"{}\","
                  "\"source_revision\":\"{}\",\"run\":{{}}}}\n",
                  zel_base::version(), zel_base::source_revision()));
  EXPECT_EQ(text.substr(first_line.size()),
            "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"flags\":\"0x80002\","
            "\"result\":1000}\n"
            "{\"t_ns\":4000,\"op\":\"map\",\"fd\":1000,\"size\":\"0x80000\",\"result\":0}\n"
            "{\"t_ns\":6000,\"op\":\"ioctl\",\"request\":\"attach\",\"number\":\"0xc008ed0a\","
            "\"argument\":\"0x0\",\"result\":0}\n"
            "{\"t_ns\":8000,\"op\":\"ioctl\",\"request\":\"set-id\",\"number\":\"0xc008ed0e\","
            "\"argument\":\"0x0\",\"result\":-1,\"errno\":\"EPERM\"}\n"
            "{\"t_ns\":10000,\"op\":\"unmap\",\"mapping\":\"configuration\",\"size\":\"0x80000\","
            "\"result\":0}\n"
            "{\"t_ns\":12000,\"op\":\"close\",\"fd\":1000,\"result\":0}\n"
            "{\"t_ns\":12000,\"op\":\"end\",\"run\":{}}\n");
}

TEST(TracingBackend, DecodesArgumentRecordsAndRegisterOffsets) {
  zel_sim::SimDevice sim;
  std::ostringstream lines;
  TracingBackend traced(sim, lines);
  auto device = Device::open("/dev/zel0", traced);
  ASSERT_TRUE(device);
  lines.str("");
  // A message the ICU does not know, outside a bring-up: both messages show in the trace.
  sim.faults().mailbox_response = zel_sim::icu::Message{0xdeadbeef, 5, 6, 7, 0xffffffff};
  sim.expect_refusal("mailbox out of order");
  sim.expect_refusal("ICU mailbox: unknown request");
  ASSERT_TRUE(device->mailbox({{0x4078020e, 1, 2, 3, 4}}));
  ASSERT_TRUE(device->write_config(0x302c, 7));
  std::vector<std::byte> buffer(4096);
  ASSERT_TRUE(device->attach_buffer(2, buffer.data(), buffer.size()));
  device->detach_buffer(2);
  const std::string text = lines.str();
  EXPECT_NE(text.find("\"request\":\"mailbox\",\"number\":\"0xc008ed1f\",\"sent\":[\"0x4078020e\","
                      "\"0x1\",\"0x2\",\"0x3\",\"0x4\"],\"received\":[\"0xdeadbeef\",\"0x5\","
                      "\"0x6\",\"0x7\",\"0xffffffff\"],\"result\":0}"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"op\":\"store\",\"offset\":\"0x302c\",\"value\":\"0x7\"}"),
            std::string::npos);
  EXPECT_NE(text.find("\"request\":\"attach-buffer\",\"number\":\"0xc008ed0b\",\"index\":\"0x2\","
                      "\"size\":\"0x1000\",\"result\":0}"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"request\":\"detach-buffer\",\"number\":\"0xc008ed0c\",\"argument\":"
                      "\"0x2\",\"result\":0}"),
            std::string::npos);
}

TEST(TracingBackend, RecordsTheClockReadingsAndSleepsOfAWait) {
  zel_sim::SimDevice sim;
  sim.faults().hsp_marks_kept_from = 1;
  std::ostringstream lines;
  TracingBackend traced(sim, lines, R"({"arguments": ["a", "b"]})");
  auto on_trace = Device::open("/dev/zel0", traced);
  ASSERT_TRUE(on_trace);
  lines.str("");
  // A mark nobody clears: two looks 100 us apart, then the deadline has passed.
  ASSERT_TRUE(on_trace->write_sync_mark(0x302c, 5));
  lines.str("");
  const auto waited = on_trace->wait_mark(0x302c, 0, std::chrono::microseconds(150));
  ASSERT_FALSE(waited);
  std::vector<std::string> ops;
  std::istringstream read(lines.str());
  for (std::string line; std::getline(read, line);) {
    ops.push_back(line.substr(line.find("\"op\"")));
  }
  ASSERT_GE(ops.size(), 4u);
  EXPECT_EQ(ops[0], "\"op\":\"now\"}") << "the deadline's reading";
  EXPECT_TRUE(ops[1].starts_with("\"op\":\"load\",\"offset\":\"0x302c\",")) << ops[1];
  EXPECT_EQ(ops[2], "\"op\":\"now\"}");
  EXPECT_EQ(ops[3], "\"op\":\"sleep\",\"ns\":100000}");
  EXPECT_EQ(ops.back(), "\"op\":\"now\"}") << "the look that found the deadline passed";
  EXPECT_TRUE(traced.finish(R"({"exit_status": 1})"));
  EXPECT_TRUE(lines.str().ends_with(",\"op\":\"end\",\"run\":{\"exit_status\":1}}\n"));
}

TEST(TracingBackend, FinishSaysWhenLinesWereLost) {
  zel_sim::SimDevice sim;
  std::ostringstream lines;
  lines.setstate(std::ios::badbit);  // as a stream whose file is full
  TracingBackend traced(sim, lines);
  EXPECT_GE(traced.open("/dev/zel0", DEVICE_OPEN_FLAGS), 0);
  EXPECT_FALSE(traced.finish());
}

}  // namespace
}  // namespace zel_driver
