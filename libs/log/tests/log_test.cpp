#include <gtest/gtest.h>

#include "zel_log/capturing_sink.hpp"
#include "zel_log/log.hpp"

namespace zel_log {
namespace {

TEST(Log, NothingIsDeliveredWithoutASink) {
  emit(Level::Info, "zel_driver", "unheard");  // must not crash with no sink
  {
    CapturingSink sink;
    emit(Level::Trace, "zel_driver", "heard");
    EXPECT_EQ(sink.events().size(), 1u);
  }
  emit(Level::Info, "zel_driver", "unheard once the sink is gone");
}

// A sink that wants only some levels is not asked to write the others.
TEST(Log, EventsBelowWhatTheSinkAcceptsAreNotWritten) {
  struct InfoOnly final : Sink {
    int written = 0;
    bool accepts(Level level) const override { return level == Level::Info; }
    void write(const Event&) override { ++written; }
  } sink;
  set_sink(&sink);
  emit(Level::Trace, "zel_driver", "unwanted");
  emit(Level::Info, "zel_driver", "wanted");
  set_sink(nullptr);
  EXPECT_EQ(sink.written, 1);
}

TEST(Log, CapturedEventsKeepLevelTargetMessageAndFields) {
  CapturingSink sink;
  std::string path = "/dev/zel0";
  emit(Level::Info, "zel_driver", "opening ZEL device", {{"path", path}});
  emit(Level::Debug, "zel_driver", "discarded", {{"count", std::uint64_t{3}}});
  path = "overwritten";  // the sink owns its copy

  ASSERT_EQ(sink.events().size(), 2u);
  const RecordedEvent& first = sink.events()[0];
  EXPECT_EQ(first.level, Level::Info);
  EXPECT_EQ(first.target, "zel_driver");
  EXPECT_EQ(first.message, "opening ZEL device");
  EXPECT_EQ(first.text("path"), "/dev/zel0");
  EXPECT_EQ(sink.with_message("discarded").at(0).number("count"), 3u);
  EXPECT_EQ(first.number("path"), std::nullopt);
}

TEST(Log, FormatsOneLinePerEvent) {
  const Field fields[] = {{"path", std::string_view("/dev/zel0")},
                          {"tiles", std::uint64_t{1472}},
                          {"register", Hex{0x302c}},
                          {"compiler", std::string_view("1.0\x1b[2J\xc2\x9b\xff")}};
  EXPECT_EQ(format_event(Event{Level::Trace, "zel_package", "read", fields}),
            "TRACE zel_package: read path=\"/dev/zel0\" tiles=1472 register=\"0x302c\" "
            "compiler=\"1.0\\u{1b}[2J\\u{9b}\\xff\"");
  // A text taken from a file cannot end the line and forge an event after it.
  const Field crafted[] = {{"compiler", std::string_view("1.0\"\nINFO zel_driver: fake")}};
  EXPECT_EQ(format_event(Event{Level::Info, "zel_package", "read", crafted}),
            "INFO zel_package: read compiler=\"1.0\\\"\\nINFO zel_driver: fake\"");
}

}  // namespace
}  // namespace zel_log
