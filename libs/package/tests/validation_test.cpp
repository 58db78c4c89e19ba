#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zel_fixtures/idle_package.hpp"
#include "zel_package/application.hpp"

namespace zel_package {
namespace {

Segment segment(std::uint32_t address, std::uint32_t memory_size, std::size_t data_bytes = 0) {
  return Segment{address, memory_size, std::vector<std::byte>(data_bytes, std::byte{0x5a}), 0};
}

TileImage tile(std::uint32_t physical_tile, std::vector<Segment> segments) {
  return TileImage{.physical_tile = physical_tile, .segments = std::move(segments)};
}

// One tile with one segment: the smallest application that passes.
Application minimal() {
  Application app(zel_target::Target::Zel21);
  app.tiles = {tile(0, {segment(0x4c010, 0x100, 16)})};
  return app;
}

HostCall upload(std::size_t inputs, std::vector<std::uint32_t> ends) {
  return HostCall{
      .name = "upload",
      .inputs = std::vector<HostSlice>(inputs, HostSlice{.page = 1, .size = 4}),
      .input_batch_ends = std::move(ends),
  };
}

// An application whose host exchange has page 1 of 16 bytes and the given calls.
void set_calls(Application& app, std::vector<HostCall> calls) {
  app.host_exchange.pages = {{1, 16}};
  app.host_exchange.command_page = 1;
  app.host_exchange.calls = std::move(calls);
}

struct Case {
  std::string name;
  std::function<void(Application&)> change;
  std::string error;  // empty: the application passes
};

void expect_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Application app = minimal();
    c.change(app);
    const auto result = app.validate();
    if (c.error.empty()) {
      EXPECT_TRUE(result.has_value()) << c.name << ": " << result.error().display();
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error().debug(), "Invalid(\"" + c.error + "\")") << c.name;
    }
  }
}

TEST(Validation, IdleApplicationsPass) {
  for (std::uint32_t tiles : {1u, 2u, 64u, 1472u}) {
    EXPECT_TRUE(zel_fixtures::idle_application(tiles).validate().has_value()) << tiles;
  }
}

TEST(Validation, FirstFailingCheckDecides) {
  expect_cases({
      {"no tiles", [](Application& a) { a.tiles.clear(); }, "application has no tiles"},
      {"config write before duplicate tile",
       [](Application& a) {
         a.device_config_writes = {{0x2000, 1}, {0x2000, 2}};
         a.tiles.push_back(a.tiles[0]);
       },
       "unaligned or duplicate device configuration write"},
      {"overlapping segment before empty binding name",
       [](Application& a) {
         a.tiles[0].segments.push_back(segment(0x4c020, 4));
         a.inputs = {Binding{}};
       },
       "overlapping segments on tile 0: 0x4c010..0x4c110 and 0x4c020..0x4c024"},
      {"duplicate tile after its segments",
       [](Application& a) {
         a.tiles = {tile(5, {segment(0x4c010, 4)}), tile(5, {segment(0x4c000, 0x9c001)})};
       },
       "duplicate physical tile 5"},
      {"bad segment of the first copy before the duplicate",
       [](Application& a) {
         a.tiles = {tile(5, {segment(0x4c000, 0x9c001)}), tile(5, {})};
       },
       "invalid segment on tile 5: address=0x4c000 end=0xe8001 memory_size=638977 data_size=0"},
      {"zero invocations before batch ends",
       [](Application& a) {
         HostCall call = upload(3, {});
         call.invocations = 0;
         set_calls(a, {call});
       },
       "host call upload has no invocations"},
  });
}

TEST(Validation, ConfigurationWrites) {
  expect_cases({
      {"distinct aligned",
       [](Application& a) {
         a.device_config_writes = {{0x2000, 1}, {0x2004, 1}};
       },
       ""},
      {"repeated",
       [](Application& a) {
         a.device_config_writes = {{0x2000, 1}, {0x2004, 1}, {0x2000, 1}};
       },
       "unaligned or duplicate device configuration write"},
      {"unaligned alone",
       [](Application& a) {
         a.device_config_writes = {{0x2002, 1}};
       },
       "unaligned or duplicate device configuration write"},
  });
}

TEST(Validation, Segments) {
  expect_cases({
      {"whole window", [](Application& a) { a.tiles = {tile(7, {segment(0x4c000, 0x9c000, 16)})}; },
       ""},
      {"one byte past the window",
       [](Application& a) { a.tiles = {tile(7, {segment(0x4c000, 0x9c001, 16)})}; },
       "invalid segment on tile 7: address=0x4c000 end=0xe8001 memory_size=638977 data_size=16"},
      {"below the window", [](Application& a) { a.tiles = {tile(1, {segment(0x4bffc, 4)})}; },
       "invalid segment on tile 1: address=0x4bffc end=0x4c000 memory_size=4 data_size=0"},
      {"end past 32 bits",
       [](Application& a) { a.tiles = {tile(1, {segment(0xffffff00, 0x200)})}; },
       "segment address overflow"},
      {"more data than memory",
       [](Application& a) { a.tiles = {tile(2, {segment(0x4c010, 4, 8)})}; },
       "invalid segment on tile 2: address=0x4c010 end=0x4c014 memory_size=4 data_size=8"},
      {"empty segment inside another",
       [](Application& a) {
         a.tiles = {tile(2, {segment(0x4c010, 0x10000), segment(0x50000, 0)})};
       },
       ""},
      {"touching",
       [](Application& a) {
         a.tiles = {tile(3, {segment(0x4c010, 0xff0), segment(0x4d000, 0x1000)})};
       },
       ""},
      {"overlapping, later first",
       [](Application& a) {
         a.tiles = {tile(3, {segment(0x4d000, 0x1000), segment(0x4c010, 0xff1)})};
       },
       "overlapping segments on tile 3: 0x4c010..0x4d001 and 0x4d000..0x4e000"},
      {"overlapping, earlier first",
       [](Application& a) {
         a.tiles = {tile(3, {segment(0x4c010, 0xff1), segment(0x4d000, 0x1000)})};
       },
       "overlapping segments on tile 3: 0x4c010..0x4d001 and 0x4d000..0x4e000"},
      {"same start, shorter listed last",
       [](Application& a) {
         a.tiles = {tile(3, {segment(0x4c010, 0x20), segment(0x4c010, 0x10)})};
       },
       "overlapping segments on tile 3: 0x4c010..0x4c020 and 0x4c010..0x4c030"},
      {"tile without segments", [](Application& a) { a.tiles = {tile(4, {})}; }, ""},
  });
}

TEST(Validation, ProfilePlansAndDebugMap) {
  const auto step = [](std::uint32_t index) { return ProfileStep{.local_index = index}; };
  expect_cases({
      {"plan without steps",
       [](Application& a) {
         a.profile_tiles = {{0, {}}};
       },
       ""},
      {"steps in order",
       [&](Application& a) {
         a.profile_tiles = {{0, {step(0), step(1)}}};
       },
       ""},
      {"plan for a tile without image",
       [](Application& a) {
         a.profile_tiles = {{1, {}}};
       },
       "invalid tile profile plan"},
      {"second plan for a tile",
       [](Application& a) {
         a.profile_tiles = {{0, {}}, {0, {}}};
       },
       "invalid tile profile plan"},
      {"step out of place",
       [&](Application& a) {
         a.profile_tiles = {{0, {step(0), step(2)}}};
       },
       "invalid tile profile plan"},
      {"symbol without name",
       [](Application& a) {
         a.debug_symbols = {{"", 0}};
       },
       "invalid package debug map"},
      {"region on any tile",
       [](Application& a) {
         a.debug_regions = {{0xffffffff, 0, 4, "r"}};
       },
       ""},
      {"region of size 0",
       [](Application& a) {
         a.debug_regions = {{0, 0x4c010, 0, "r"}};
       },
       "invalid package debug map"},
      {"region without name",
       [](Application& a) {
         a.debug_regions = {{0, 0x4c010, 4, ""}};
       },
       "invalid package debug map"},
      {"region past 32 bits",
       [](Application& a) {
         a.debug_regions = {{0, 0xfffffffc, 5, "r"}};
       },
       "invalid package debug map"},
      {"region on a tile without image",
       [](Application& a) {
         a.debug_regions = {{9, 0, 4, "r"}};
       },
       "invalid package debug map"},
  });
}

TEST(Validation, Bindings) {
  const auto weights = [](RegionSlice slice) {
    return Binding{.name = "weights0", .slices = {slice}};
  };
  expect_cases({
      {"slice reaching the window end",
       [&](Application& a) {
         a.tiles.push_back(tile(9, {}));
         a.weights = {weights({9, 0xe7ff0, 0, 0x10})};
       },
       ""},
      {"slice one byte past the window",
       [&](Application& a) {
         a.tiles.push_back(tile(9, {}));
         a.weights = {weights({9, 0xe7ff0, 0, 0x11})};
       },
       "binding weights0 references invalid tile memory"},
      {"slice below the window",
       [&](Application& a) {
         a.weights = {weights({0, 0x4bff0, 0, 4})};
       },
       "binding weights0 references invalid tile memory"},
      {"slice on a tile without image",
       [&](Application& a) {
         a.weights = {weights({9, 0x4c000, 0, 4})};
       },
       "binding weights0 references invalid tile memory"},
      {"slice larger than 32 bits",
       [&](Application& a) {
         a.weights = {weights({0, 0x4c000, 0, 0x100000000})};
       },
       "binding weights0 slice is too large"},
      {"slice end past 32 bits",
       [&](Application& a) {
         a.weights = {weights({0, 0xffffff00, 0, 0x200})};
       },
       "binding address overflow"},
      {"file range past 64 bits",
       [&](Application& a) {
         a.weights = {weights({9, 0, 0xffffffffffffff00, 0x100})};
       },
       "binding weights0 file range overflows"},
      {"same name as input and output",
       [](Application& a) {
         a.inputs = {{.name = "x"}};
         a.outputs = {{.name = "x"}};
       },
       "empty or duplicate binding x"},
      {"same name as input and weight",
       [](Application& a) {
         a.inputs = {{.name = "x"}};
         a.weights = {{.name = "x"}};
       },
       "empty or duplicate binding x"},
      {"empty name", [](Application& a) { a.outputs = {Binding{}}; },
       "empty or duplicate binding "},
  });
}

TEST(Validation, HostPagesAndStartup) {
  expect_cases({
      {"repeated page index",
       [](Application& a) {
         a.host_exchange.pages = {{1, 16}, {2, 16}, {1, 16}};
       },
       "invalid host page table"},
      {"attach order repeating a page",
       [](Application& a) {
         a.host_exchange.pages = {{1, 16}, {2, 16}};
         a.host_exchange.attach_order = {2, 2};
       },
       ""},
      {"attach order naming no page",
       [](Application& a) {
         a.host_exchange.pages = {{1, 16}};
         a.host_exchange.attach_order = {3};
       },
       "invalid host page table"},
      {"no calls, command page missing", [](Application& a) { a.host_exchange.command_page = 7; },
       ""},
      {"command word ends at the page end",
       [](Application& a) {
         set_calls(a, {upload(0, {})});
         a.host_exchange.command_offset = 12;
       },
       ""},
      {"command word past the page end",
       [](Application& a) {
         set_calls(a, {upload(0, {})});
         a.host_exchange.command_offset = 13;
       },
       "invalid host startup protocol"},
      {"command offset past 64 bits",
       [](Application& a) {
         set_calls(a, {upload(0, {})});
         a.host_exchange.command_offset = 0xfffffffffffffffe;
       },
       "invalid host startup protocol"},
      {"command page missing",
       [](Application& a) {
         set_calls(a, {upload(0, {})});
         a.host_exchange.command_page = 2;
       },
       "invalid host startup protocol"},
  });
}

TEST(Validation, HostCalls) {
  const auto with_input = [](HostSlice slice) {
    HostCall call = upload(0, {1});
    call.inputs = {slice};
    return call;
  };
  expect_cases({
      {"no slices and no ends", [](Application& a) { set_calls(a, {upload(0, {})}); }, ""},
      {"ends 1, 3",
       [](Application& a) {
         set_calls(a, {upload(3, {1, 3})});
       },
       ""},
      {"no ends", [](Application& a) { set_calls(a, {upload(3, {})}); },
       "host call upload input batches cover 0 of 3 slices"},
      {"ends 2, 2",
       [](Application& a) {
         set_calls(a, {upload(3, {2, 2})});
       },
       "host call upload has invalid input batch boundary 2"},
      {"ends 1, 4",
       [](Application& a) {
         set_calls(a, {upload(3, {1, 4})});
       },
       "host call upload has invalid input batch boundary 4"},
      {"ends 1, 2",
       [](Application& a) {
         set_calls(a, {upload(3, {1, 2})});
       },
       "host call upload input batches cover 2 of 3 slices"},
      {"output end without outputs",
       [](Application& a) {
         HostCall call = upload(0, {});
         call.output_batch_ends = {1};
         set_calls(a, {call});
       },
       "host call upload has invalid output batch boundary 1"},
      {"slice ending at the page end",
       [&](Application& a) {
         set_calls(a, {with_input({1, 12, 0, 4})});
       },
       ""},
      {"slice one byte past the page end",
       [&](Application& a) {
         set_calls(a, {with_input({1, 12, 0, 5})});
       },
       "host call upload has an invalid slice range"},
      {"slice page offset past 64 bits",
       [&](Application& a) {
         set_calls(a, {with_input({1, 0xfffffffffffffffc, 0, 8})});
       },
       "host call upload has an invalid slice range"},
      {"slice file range past 64 bits",
       [&](Application& a) {
         set_calls(a, {with_input({1, 0, 0xfffffffffffffffc, 8})});
       },
       "host call upload has an invalid slice range"},
      {"slice on a missing page",
       [&](Application& a) {
         set_calls(a, {with_input({2, 0, 0, 4})});
       },
       "host call upload references missing page"},
      {"output slice checked after inputs",
       [&](Application& a) {
         HostCall call = with_input({1, 0, 0, 4});
         call.outputs = {{3, 0, 0, 4}};
         call.output_batch_ends = {1};
         set_calls(a, {call});
       },
       "host call upload references missing page"},
  });
}

TEST(Validation, BindingByteLength) {
  EXPECT_EQ(Binding{}.byte_len().value(), 0u);
  Binding binding{.name = "w", .slices = {{0, 0, 64, 16}, {0, 0, 0, 64}, {0, 0, 32, 8}}};
  EXPECT_EQ(binding.byte_len().value(), 80u);
  binding.slices.push_back({0, 0, 0xffffffffffffffff, 1});
  EXPECT_EQ(binding.byte_len().error().display(),
            "invalid package: binding w file range overflows");
}

TEST(Validation, BatchEndsOfEitherDirection) {
  const HostCall call{.name = "download"};
  const std::vector<std::uint32_t> ends = {0};
  EXPECT_EQ(validate_host_batch_ends(call, "output", ends, 2).error().display(),
            "invalid package: host call download has invalid output batch boundary 0");
  EXPECT_TRUE(validate_host_batch_ends(call, "output", {}, 0).has_value());
  const std::vector<std::uint32_t> cover = {2};
  EXPECT_EQ(validate_host_batch_ends(call, "input", cover, 5).error().display(),
            "invalid package: host call download input batches cover 2 of 5 slices");
}

TEST(Application, EmptyApplication) {
  const Application app(zel_target::Target::Zel21);
  EXPECT_EQ(app.target, zel_target::Target::Zel21);
  EXPECT_EQ(app.compiler_version, "0.1.0");
  EXPECT_TRUE(app.tiles.empty() && app.inputs.empty() && app.outputs.empty() &&
              app.weights.empty() && app.entry_points.empty() && app.device_config_writes.empty() &&
              app.profile_tiles.empty() && app.debug_symbols.empty() && app.debug_regions.empty());
  EXPECT_EQ(app.host_exchange, HostExchange{});
  EXPECT_EQ(app.host_exchange.command_offset, 0u);
  EXPECT_TRUE(app.host_exchange.pages.empty() && app.host_exchange.attach_order.empty() &&
              app.host_exchange.calls.empty());
}

}  // namespace
}  // namespace zel_package
