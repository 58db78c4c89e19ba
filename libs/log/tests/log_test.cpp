#include <gtest/gtest.h>

#include "zel_log/capturing_sink.hpp"
#include "zel_log/log.hpp"

namespace zel_log {
namespace {

TEST(Log, NothingIsDeliveredWithoutASink) {
  EXPECT_FALSE(enabled());
  emit(Level::Info, "zel_driver", "unheard");  // must not crash with no sink
  {
    CapturingSink sink;
    EXPECT_TRUE(enabled());
  }
  EXPECT_FALSE(enabled());
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
  const Field fields[] = {{"path", std::string_view("/dev/zel0")}, {"tiles", std::uint64_t{1472}}};
  EXPECT_EQ(format_event(Event{Level::Trace, "zel_package", "read", fields}),
            "TRACE zel_package: read path=\"/dev/zel0\" tiles=1472");
}

}  // namespace
}  // namespace zel_log
