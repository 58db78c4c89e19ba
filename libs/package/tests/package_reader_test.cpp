#include <fcntl.h>

#include <capnp/any.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_log/capturing_sink.hpp"
#include "zel_package/application.hpp"

namespace zel_package {
namespace {

using zel_fixtures::idle_application;
using zel_fixtures::memory_file;
using zel_fixtures::PackageOptions;
using zel_fixtures::write_package;

std::expected<Application, PackageError> read_bytes(std::span<const std::byte> bytes) {
  return Application::read(zel_base::UniqueFd(memory_file(bytes)));
}

std::expected<Application, PackageError> read_written(const Application& app,
                                                      const PackageOptions& options = {}) {
  return read_bytes(write_package(app, options));
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

std::vector<std::byte> little_endian_words(std::initializer_list<std::uint32_t> values) {
  std::vector<std::byte> bytes;
  for (std::uint32_t value : values) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::byte(value >> shift));
  }
  return bytes;
}

// Debug form of the error, or "ok".
std::string outcome(const std::expected<Application, PackageError>& result) {
  return result ? "ok" : result.error().debug();
}

TEST(PackageReader, ReadsTheIdlePackageClosesTheFileAndLogs) {
  const Application app = idle_application(64);
  zel_log::CapturingSink sink;
  const int fd = memory_file(write_package(app));
  const auto read = Application::read(zel_base::UniqueFd(fd));
  ASSERT_TRUE(read.has_value()) << read.error().debug();
  EXPECT_EQ(*read, app);
  EXPECT_FALSE(is_open(fd));

  ASSERT_EQ(sink.events().size(), 2u);
  EXPECT_EQ(sink.events()[0].message, "reading application package");
  EXPECT_EQ(sink.events()[0].level, zel_log::Level::Info);
  EXPECT_EQ(sink.events()[0].target, "zel_package");
  EXPECT_TRUE(sink.events()[0].fields.empty());
  EXPECT_EQ(sink.events()[1].message, "application package read");
  EXPECT_EQ(sink.events()[1].level, zel_log::Level::Info);
  EXPECT_EQ(sink.events()[1].number("tiles"), 64u);
  EXPECT_EQ(sink.events()[1].text("compiler"), "1.3.0");
}

TEST(PackageReader, ReadsMultiSegmentMessagesAndIgnoresTrailingBytes) {
  const Application app = idle_application(8);
  EXPECT_EQ(read_written(app, {.first_segment_words = 32}), app);
  auto bytes = write_package(app);
  bytes.resize(bytes.size() + 13, std::byte{0xee});
  EXPECT_EQ(read_bytes(bytes), app);
}

TEST(PackageReader, StreamAndFramingFailures) {
  zel_log::CapturingSink sink;
  const int fd = memory_file({});
  EXPECT_EQ(outcome(Application::read(zel_base::UniqueFd(fd))),
            "Capnp(Exception { type: Failed, description: \"Premature EOF\" })");
  EXPECT_FALSE(is_open(fd));
  EXPECT_EQ(sink.events().size(), 1u);  // nothing read, nothing reported as read

  const auto whole = write_package(idle_application(1));
  struct Case {
    const char* name;
    std::vector<std::byte> bytes;
    const char* description;
  };
  const Case cases[] = {
      {"inside the first word", {whole.begin(), whole.begin() + 4}, "Premature EOF"},
      {"inside the segment table", little_endian_words({1, 4}), "Premature EOF"},
      {"inside the segments", {whole.begin(), whole.end() - 8}, "Premature EOF"},
      {"512 segments", little_endian_words({511, 0}), "Message has too many segments."},
      {"segment count wraps", little_endian_words({0xffffffff, 0}),
       "Message has too many segments."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        outcome(read_bytes(c.bytes)),
        std::string("Capnp(Exception { type: Failed, description: \"") + c.description + "\" })")
        << c.name;
  }
}

TEST(PackageReader, MalformedMessagesAreCapnpErrors) {
  using Edit = std::function<void(wire::Application::Builder)>;
  const struct {
    const char* name;
    Edit edit;
  } cases[] = {
      {"struct where the tile list belongs",
       [](wire::Application::Builder root) {
         capnp::toAny(root).getPointerSection()[2].initAsAnyStruct(1, 0);
       }},
      {"list where the host exchange belongs",
       [](wire::Application::Builder root) {
         capnp::toAny(root).getPointerSection()[6].initAsListOfAnyStruct(1, 0, 1);
       }},
  };
  for (const auto& c : cases) {
    const auto read = read_written(idle_application(2), {.edit = c.edit});
    ASSERT_FALSE(read.has_value()) << c.name;
    EXPECT_EQ(read.error().kind(), PackageError::Kind::Capnp) << c.name << ": " << outcome(read);
  }
  // The library's message quotes the byte where the NUL belongs: whole, and escaped.
  const auto unterminated = [](wire::Application::Builder root) {
    const capnp::byte name[] = {'a', 'b', 0x9b};
    capnp::toAny(root.getInputs()[0])
        .getPointerSection()[0]
        .setAs<capnp::Data>(capnp::Data::Reader(name, sizeof name));
  };
  EXPECT_EQ(outcome(read_written(idle_application(2), {.edit = unterminated})),
            "Capnp(Exception { type: Failed, description: \"expected cptr[unboundedSize] == "
            "'\\\\0' [\\x9b == \\0]; Message contains text that is not NUL-terminated.\" })");
  // A root pointer that is a list.
  const auto list_root = little_endian_words({0, 2, 1, 0x00000001 << 3 | 2, 0, 0});
  EXPECT_EQ(read_bytes(list_root).error().kind(), PackageError::Kind::Capnp);
}

TEST(PackageReader, HeaderChecksInOrder) {
  struct Case {
    const char* name;
    PackageOptions options;
    std::string compiler_version;
    std::string outcome;
  };
  const std::string incompatible = "Invalid(\"incompatible package header\")";
  const std::string unsupported = "Invalid(\"unsupported package target\")";
  const Case cases[] = {
      {"matching header", {}, "1.3.0", "ok"},
      {"schema version 4", {.schema_version = 4}, "1.3.0", incompatible},
      {"schema version 6", {.schema_version = 6}, "1.3.0", incompatible},
      {"tile memory base", {.tile_memory_base = 0x4c004}, "1.3.0", incompatible},
      {"tile memory size", {.tile_memory_size = 0x9c004}, "1.3.0", incompatible},
      {"unknown target", {.target = "ZEL21"}, "1.3.0", unsupported},
      {"unknown target before schema version",
       {.schema_version = 6, .target = "zel2"},
       "1.3.0",
       unsupported},
      {"target not UTF-8",
       {.target = "zel\xff"},
       "1.3.0",
       "Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {"header before compiler version", {.schema_version = 6}, "\xff", incompatible},
      {"compiler version not UTF-8",
       {},
       "1.\xf0\x9f",
       "Utf8(Utf8Error { valid_up_to: 2, error_len: None })"},
  };
  for (const Case& c : cases) {
    Application app = idle_application(1);
    app.compiler_version = c.compiler_version;
    EXPECT_EQ(outcome(read_written(app, c.options)), c.outcome) << c.name;
  }
}

TEST(PackageReader, PackageWithoutListsReadsThenFailsValidation) {
  EXPECT_EQ(outcome(read_written(Application(zel_target::Target::Zel21))),
            "Invalid(\"application has no tiles\")");
  Application duplicate = idle_application(2);
  duplicate.tiles[1].physical_tile = 0;
  EXPECT_EQ(outcome(read_written(duplicate)), "Invalid(\"duplicate physical tile 0\")");
}

TEST(PackageReader, InvocationsDefaultToOne) {
  // A host call written without the word that holds invocations.
  const auto short_call = [](wire::Application::Builder root) {
    auto call = capnp::toAny(root.getHostExchange())
                    .getPointerSection()[2]
                    .initAsListOfAnyStruct(1, 1, 1)[0];
    const std::uint8_t command_and_phases[] = {7, 0, 0, 0, 2, 0, 0, 0};
    std::copy(std::begin(command_and_phases), std::end(command_and_phases),
              call.getDataSection().begin());
    call.getPointerSection()[0].setAs<capnp::Text>("upload");
  };
  const auto read = read_written(idle_application(2), {.edit = short_call});
  ASSERT_TRUE(read.has_value()) << outcome(read);
  const HostCall upload{.name = "upload", .command = 7, .phases = 2, .invocations = 1};
  EXPECT_EQ(read->host_exchange.calls, std::vector<HostCall>{upload});

  // A stored 1 is no invocation at all.
  Application none = idle_application(2);
  none.host_exchange.calls[0].invocations = 0;
  EXPECT_EQ(outcome(read_written(none)), "Invalid(\"host call idle_step has no invocations\")");
}

TEST(PackageReader, ShortAndLongStructs) {
  const Application app = idle_application(1);
  const TileImage& tile = app.tiles[0];
  const auto rewrite_tile = [&](wire::Application::Builder root) {
    // Two data words and two pointers more than the schema has, holding garbage.
    auto wide = capnp::toAny(root).getPointerSection()[2].initAsListOfAnyStruct(4, 3, 1)[0];
    auto data = wide.getDataSection();
    const std::uint32_t fields[] = {tile.physical_tile,      tile.entry_point, tile.command_address,
                                    tile.diagnostic_address, 0xdeadbeef,       0xdeadbeef};
    std::memcpy(data.begin(), fields, sizeof fields);
    // Segments one data word short: no flags.
    auto segments = wide.getPointerSection()[0].initAsListOfAnyStruct(1, 1, 2);
    for (unsigned i = 0; i < 2; ++i) {
      const Segment& segment = tile.segments[i];
      const std::uint32_t place[] = {segment.address, segment.memory_size};
      std::memcpy(segments[i].getDataSection().begin(), place, sizeof place);
      if (!segment.data.empty()) {
        segments[i].getPointerSection()[0].setAs<capnp::Data>(
            {reinterpret_cast<const capnp::byte*>(segment.data.data()), segment.data.size()});
      }
    }
    wide.getPointerSection()[2].setAs<capnp::Text>("ignored");
  };
  const auto read = read_written(app, {.edit = rewrite_tile});
  ASSERT_TRUE(read.has_value()) << outcome(read);
  TileImage expected = tile;
  for (Segment& segment : expected.segments) segment.flags = 0;
  EXPECT_EQ(read->tiles, std::vector<TileImage>{expected});
}

TEST(PackageReader, TextsNotUtf8FirstInFieldOrderWins) {
  struct Case {
    const char* name;
    std::function<void(Application&)> change;
    std::string outcome;
  };
  const Case cases[] = {
      {"input name", [](Application& a) { a.inputs[0].name = "\xe2\x82"; },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: None })"},
      {"weight dtype before entry point name",
       [](Application& a) {
         a.weights[0].dtype = "f1\xff";
         a.entry_points[0].name.assign(1, '\xff');
       },
       "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"host call name before a duplicate tile",
       [](Application& a) {
         a.host_exchange.calls[1].name = "q\xc3(";
         a.tiles[1].physical_tile = 0;
       },
       "Utf8(Utf8Error { valid_up_to: 1, error_len: Some(1) })"},
      {"profile kernel", [](Application& a) { a.profile_tiles[1].steps[1].kernel = "s\x80"; },
       "Utf8(Utf8Error { valid_up_to: 1, error_len: Some(1) })"},
      {"debug symbol", [](Application& a) { a.debug_symbols[1].name = "\xed\xa0\x80"; },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
      {"debug region", [](Application& a) { a.debug_regions[0].name = "ws\xf4\x90"; },
       "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
  };
  for (const Case& c : cases) {
    Application app = idle_application(2);
    c.change(app);
    EXPECT_EQ(outcome(read_written(app)), c.outcome) << c.name;
  }
}

TEST(PackageReader, ProfileKindsOutsideTheSchema) {
  const auto step_kind = [](wire::Application::Builder root) {
    root.getProfileTiles()[1].getSteps()[0].setKind(static_cast<wire::StepKind>(4));
  };
  EXPECT_EQ(outcome(read_written(idle_application(2), {.edit = step_kind})),
            "SchemaEnum(NotInSchema(4))");
  const auto activity_kind = [](wire::Application::Builder root) {
    root.getProfileTiles()[0].getSteps()[1].getExchangeActivities()[1].setKind(
        static_cast<wire::ExchangeActivityKind>(3));
  };
  EXPECT_EQ(outcome(read_written(idle_application(2), {.edit = activity_kind})),
            "SchemaEnum(NotInSchema(3))");
}

TEST(PackageReader, ReadsPackagesBeyondTheLibraryDefaultTraversalLimit) {
  // 120 tiles of almost a whole tile memory each: about 73 MiB, past the 64 MiB default.
  Application app(zel_target::Target::Zel21);
  constexpr std::uint32_t size = 0x9c000 - 0x10;
  for (std::uint32_t tile = 0; tile < 120; ++tile) {
    app.tiles.push_back(
        TileImage{.physical_tile = tile,
                  .segments = {{0x4c010, size, std::vector<std::byte>(size, std::byte(tile)), 0}}});
  }
  const auto read = read_written(app);
  ASSERT_TRUE(read.has_value()) << outcome(read);
  EXPECT_EQ(read->tiles.size(), 120u);
  EXPECT_EQ(read->tiles[119].segments[0].data, app.tiles[119].segments[0].data);
}

TEST(PackageReader, ReadsSmallPackagesOfFieldlessEntryPoints) {
  // A writer whose entry points had no fields yet: 100 elements that take no room, in a
  // package of a few hundred bytes that the reader may still traverse whole.
  Application app(zel_target::Target::Zel21);
  app.tiles.push_back(
      TileImage{.physical_tile = 0, .segments = {{0x4c000, 4, std::vector<std::byte>(4), 0}}});
  const auto fieldless = [](wire::Application::Builder root) {
    capnp::toAny(root).getPointerSection()[7].initAsListOfAnyStruct(0, 0, 100);
  };
  const std::vector<std::byte> package = write_package(app, {.edit = fieldless});
  EXPECT_EQ(package.size(), 224u);
  const auto read = read_bytes(package);
  ASSERT_TRUE(read.has_value()) << outcome(read);
  ASSERT_EQ(read->entry_points.size(), 100u);
  EXPECT_TRUE(read->entry_points[99].name.empty());
}

TEST(PackageReader, RefusesPackagesWhosePointersAlias) {
  // 4000 segments that all point at one 1 MiB blob: about 1 MiB on the wire, 4 GiB to copy.
  const auto aliasing = [](wire::Application::Builder root) {
    auto segments = root.getTiles()[0].initSegments(4000);
    auto blob = segments[0].initData(1 << 20);
    for (unsigned i = 1; i < segments.size(); ++i) {
      zel_fixtures::alias_data_pointer(capnp::toAny(segments[i]), 0, blob);
    }
  };
  const auto read = read_written(idle_application(1), {.edit = aliasing});
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), PackageError::Kind::Capnp);
  EXPECT_NE(read.error().display().find("traversal limit"), std::string::npos) << outcome(read);
}

TEST(PackageReader, RefusesListsOfEmptyStructsThatClaimMillionsOfElements) {
  // Elements without data or pointers take no room on the wire, whatever their count: eight
  // million bindings in a package of 2 KiB, about 1 GiB as records.
  const auto empty_inputs = [](wire::Application::Builder root) {
    capnp::toAny(root).getPointerSection()[3].initAsListOfAnyStruct(0, 0, 8'000'000);
  };
  const auto read = read_written(idle_application(1), {.edit = empty_inputs});
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), PackageError::Kind::Capnp);
  EXPECT_NE(read.error().display().find("traversal limit"), std::string::npos) << outcome(read);
}

}  // namespace
}  // namespace zel_package
