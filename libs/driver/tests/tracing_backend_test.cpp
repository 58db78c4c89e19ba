// The tracing decorator: what it writes of each call, and that the stack cannot tell it is there.
#include "zel_driver/tracing_backend.hpp"

#include <cerrno>
#include <sstream>

#include <gtest/gtest.h>

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
  EXPECT_EQ(buffer.str(),
            "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"flags\":\"0x80002\","
            "\"result\":1000}\n"
            "{\"t_ns\":4000,\"op\":\"map\",\"fd\":1000,\"size\":\"0x80000\",\"result\":0}\n"
            "{\"t_ns\":6000,\"op\":\"ioctl\",\"request\":\"attach\",\"number\":\"0xc008ed0a\","
            "\"argument\":\"0x0\",\"result\":0}\n"
            "{\"t_ns\":8000,\"op\":\"ioctl\",\"request\":\"set-id\",\"number\":\"0xc008ed0e\","
            "\"argument\":\"0x0\",\"result\":-1,\"errno\":\"EPERM\"}\n"
            "{\"t_ns\":10000,\"op\":\"unmap\",\"mapping\":\"configuration\",\"size\":\"0x80000\","
            "\"result\":0}\n"
            "{\"t_ns\":12000,\"op\":\"close\",\"fd\":1000,\"result\":0}\n");
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
