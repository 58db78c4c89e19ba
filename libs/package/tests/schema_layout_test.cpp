// Proves that the generated readers place every field where packages put it: struct sizes,
// data-field byte offsets (found by setting a field and looking for its bytes) and pointer
// indices.

#include <capnp/any.h>
#include <capnp/message.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "zel_package/application.capnp.h"
#include "zel_package/profile.capnp.h"

namespace zel_package {
namespace {

template <class T>
void expect_size(unsigned data_words, unsigned pointers, std::string_view name) {
  constexpr auto size = capnp::_::structSize<T>();
  EXPECT_EQ(unsigned{size.data}, data_words) << name;
  EXPECT_EQ(unsigned{size.pointers}, pointers) << name;
}

TEST(SchemaLayout, StructSizes) {
  expect_size<wire::Application>(2, 12, "Application");
  expect_size<wire::TileImage>(2, 1, "TileImage");
  expect_size<wire::Segment>(2, 1, "Segment");
  expect_size<wire::Binding>(0, 4, "Binding");
  expect_size<wire::RegionSlice>(3, 0, "RegionSlice");
  expect_size<wire::HostExchange>(2, 3, "HostExchange");
  expect_size<wire::HostPage>(2, 0, "HostPage");
  expect_size<wire::HostCall>(2, 5, "HostCall");
  expect_size<wire::HostSlice>(4, 0, "HostSlice");
  expect_size<wire::EntryPoint>(1, 1, "EntryPoint");
  expect_size<wire::DeviceConfigWrite>(1, 0, "DeviceConfigWrite");
  expect_size<wire::DebugRegion>(2, 1, "DebugRegion");
  expect_size<wire::DebugSymbol>(1, 1, "DebugSymbol");
  expect_size<wire::TileProfilePlan>(1, 1, "TileProfilePlan");
  expect_size<wire::ProfileStep>(3, 4, "ProfileStep");
  expect_size<wire::MetadataEntry>(0, 2, "MetadataEntry");
  expect_size<wire::ExchangeActivity>(2, 0, "ExchangeActivity");
}

// Markers whose little-endian bytes are 11 22 33 ...
constexpr std::uint16_t M16 = 0x2211;
constexpr std::uint32_t M32 = 0x44332211;
constexpr std::uint64_t M64 = 0x8877665544332211;

template <class T>
struct DataField {
  std::string_view name;
  std::function<void(typename T::Builder)> set;
  std::size_t offset;  // in bytes
  std::size_t width;   // in bytes
};

// The data section of a fresh struct after `set` ran on it.
template <class T>
std::vector<std::uint8_t> data_section(const std::function<void(typename T::Builder)>& set) {
  capnp::MallocMessageBuilder message;
  auto builder = message.initRoot<T>();
  set(builder);
  auto data = capnp::toAny(builder).getDataSection();
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

template <class T>
void expect_data_fields(std::initializer_list<DataField<T>> fields) {
  for (const DataField<T>& field : fields) {
    std::vector<std::uint8_t> expected(capnp::_::structSize<T>().data * 8u, 0);
    for (std::size_t i = 0; i < field.width; ++i) expected[field.offset + i] = 0x11 * (i + 1);
    EXPECT_EQ(data_section<T>(field.set), expected) << field.name;
  }
}

TEST(SchemaLayout, DataFieldOffsets) {
  using namespace wire;
  expect_data_fields<Application>({
      {"schemaVersion", [](auto b) { b.setSchemaVersion(M32); }, 0, 4},
      {"tileMemoryBase", [](auto b) { b.setTileMemoryBase(M32); }, 4, 4},
      {"tileMemorySize", [](auto b) { b.setTileMemorySize(M32); }, 8, 4},
  });
  expect_data_fields<TileImage>({
      {"physicalTile", [](auto b) { b.setPhysicalTile(M32); }, 0, 4},
      {"entryPoint", [](auto b) { b.setEntryPoint(M32); }, 4, 4},
      {"commandAddress", [](auto b) { b.setCommandAddress(M32); }, 8, 4},
      {"diagnosticAddress", [](auto b) { b.setDiagnosticAddress(M32); }, 12, 4},
  });
  expect_data_fields<Segment>({
      {"address", [](auto b) { b.setAddress(M32); }, 0, 4},
      {"memorySize", [](auto b) { b.setMemorySize(M32); }, 4, 4},
      {"flags", [](auto b) { b.setFlags(M32); }, 8, 4},
  });
  expect_data_fields<RegionSlice>({
      {"tile", [](auto b) { b.setTile(M32); }, 0, 4},
      {"tileAddress", [](auto b) { b.setTileAddress(M32); }, 4, 4},
      {"fileOffset", [](auto b) { b.setFileOffset(M64); }, 8, 8},
      {"size", [](auto b) { b.setSize(M64); }, 16, 8},
  });
  expect_data_fields<HostExchange>({
      {"startupMark", [](auto b) { b.setStartupMark(M32); }, 0, 4},
      {"commandPage", [](auto b) { b.setCommandPage(M32); }, 4, 4},
      {"commandOffset", [](auto b) { b.setCommandOffset(M64); }, 8, 8},
  });
  expect_data_fields<HostPage>({
      {"index", [](auto b) { b.setIndex(M32); }, 0, 4},
      {"size", [](auto b) { b.setSize(M64); }, 8, 8},
  });
  expect_data_fields<HostCall>({
      {"command", [](auto b) { b.setCommand(M32); }, 0, 4},
      {"phases", [](auto b) { b.setPhases(M32); }, 4, 4},
      // Stored XORed with its default of 1.
      {"invocations", [](auto b) { b.setInvocations(M32 ^ 1); }, 8, 4},
  });
  expect_data_fields<HostSlice>({
      {"page", [](auto b) { b.setPage(M32); }, 0, 4},
      {"pageOffset", [](auto b) { b.setPageOffset(M64); }, 8, 8},
      {"fileOffset", [](auto b) { b.setFileOffset(M64); }, 16, 8},
      {"size", [](auto b) { b.setSize(M64); }, 24, 8},
  });
  expect_data_fields<EntryPoint>({
      {"command", [](auto b) { b.setCommand(M32); }, 0, 4},
      {"externalSyncs", [](auto b) { b.setExternalSyncs(M32); }, 4, 4},
  });
  expect_data_fields<DeviceConfigWrite>({
      {"offset", [](auto b) { b.setOffset(M32); }, 0, 4},
      {"value", [](auto b) { b.setValue(M32); }, 4, 4},
  });
  expect_data_fields<DebugRegion>({
      {"physicalTile", [](auto b) { b.setPhysicalTile(M32); }, 0, 4},
      {"address", [](auto b) { b.setAddress(M32); }, 4, 4},
      {"size", [](auto b) { b.setSize(M32); }, 8, 4},
  });
  expect_data_fields<DebugSymbol>({{"address", [](auto b) { b.setAddress(M32); }, 0, 4}});
  expect_data_fields<TileProfilePlan>(
      {{"physicalTile", [](auto b) { b.setPhysicalTile(M32); }, 0, 4}});
  expect_data_fields<ProfileStep>({
      {"localIndex", [](auto b) { b.setLocalIndex(M32); }, 0, 4},
      {"phase", [](auto b) { b.setPhase(M32); }, 4, 4},
      {"epoch", [](auto b) { b.setEpoch(M32); }, 8, 4},
      {"kind", [](auto b) { b.setKind(static_cast<StepKind>(M16)); }, 12, 2},
      {"exchangeEventCycles", [](auto b) { b.setExchangeEventCycles(M32); }, 16, 4},
  });
  expect_data_fields<ExchangeActivity>({
      {"kind", [](auto b) { b.setKind(static_cast<ExchangeActivityKind>(M16)); }, 0, 2},
      {"fanout", [](auto b) { b.setFanout(M16); }, 2, 2},
      {"startCycle", [](auto b) { b.setStartCycle(M32); }, 4, 4},
      {"endCycle", [](auto b) { b.setEndCycle(M32); }, 8, 4},
  });
}

TEST(SchemaLayout, PairedIsBit96AndInvocationsDefaultsToOne) {
  std::vector<std::uint8_t> paired(16, 0);
  paired[12] = 0x01;
  EXPECT_EQ(data_section<wire::ExchangeActivity>([](auto b) { b.setPaired(true); }), paired);

  // One invocation is the all-zero word; none is stored as 1.
  EXPECT_EQ(data_section<wire::HostCall>([](auto b) { b.setInvocations(1); }),
            std::vector<std::uint8_t>(16, 0));
  std::vector<std::uint8_t> none(16, 0);
  none[8] = 0x01;
  EXPECT_EQ(data_section<wire::HostCall>([](auto b) { b.setInvocations(0); }), none);
}

template <class T>
struct PointerField {
  std::string_view name;
  std::function<void(typename T::Builder)> set;
  unsigned index;
};

template <class T>
void expect_pointer_fields(std::initializer_list<PointerField<T>> fields) {
  for (const PointerField<T>& field : fields) {
    capnp::MallocMessageBuilder message;
    auto builder = message.initRoot<T>();
    field.set(builder);
    auto pointers = capnp::toAny(builder).getPointerSection();
    for (unsigned index = 0; index < pointers.size(); ++index) {
      EXPECT_EQ(!pointers[index].isNull(), index == field.index) << field.name << " " << index;
    }
  }
}

TEST(SchemaLayout, PointerIndices) {
  using namespace wire;
  expect_pointer_fields<Application>({
      {"compilerVersion", [](auto b) { b.setCompilerVersion("v"); }, 0},
      {"target", [](auto b) { b.setTarget("t"); }, 1},
      {"tiles", [](auto b) { b.initTiles(1); }, 2},
      {"inputs", [](auto b) { b.initInputs(1); }, 3},
      {"outputs", [](auto b) { b.initOutputs(1); }, 4},
      {"weights", [](auto b) { b.initWeights(1); }, 5},
      {"hostExchange", [](auto b) { b.initHostExchange(); }, 6},
      {"entryPoints", [](auto b) { b.initEntryPoints(1); }, 7},
      {"deviceConfigWrites", [](auto b) { b.initDeviceConfigWrites(1); }, 8},
      {"profileTiles", [](auto b) { b.initProfileTiles(1); }, 9},
      {"debugSymbols", [](auto b) { b.initDebugSymbols(1); }, 10},
      {"debugRegions", [](auto b) { b.initDebugRegions(1); }, 11},
  });
  expect_pointer_fields<TileImage>({{"segments", [](auto b) { b.initSegments(1); }, 0}});
  expect_pointer_fields<Segment>({{"data", [](auto b) { b.initData(1); }, 0}});
  expect_pointer_fields<Binding>({
      {"name", [](auto b) { b.setName("n"); }, 0},
      {"dtype", [](auto b) { b.setDtype("d"); }, 1},
      {"shape", [](auto b) { b.initShape(1); }, 2},
      {"slices", [](auto b) { b.initSlices(1); }, 3},
  });
  expect_pointer_fields<HostExchange>({
      {"pages", [](auto b) { b.initPages(1); }, 0},
      {"attachOrder", [](auto b) { b.initAttachOrder(1); }, 1},
      {"calls", [](auto b) { b.initCalls(1); }, 2},
  });
  expect_pointer_fields<HostCall>({
      {"name", [](auto b) { b.setName("n"); }, 0},
      {"inputs", [](auto b) { b.initInputs(1); }, 1},
      {"outputs", [](auto b) { b.initOutputs(1); }, 2},
      {"inputBatchEnds", [](auto b) { b.initInputBatchEnds(1); }, 3},
      {"outputBatchEnds", [](auto b) { b.initOutputBatchEnds(1); }, 4},
  });
  expect_pointer_fields<EntryPoint>({{"name", [](auto b) { b.setName("n"); }, 0}});
  expect_pointer_fields<DebugRegion>({{"name", [](auto b) { b.setName("n"); }, 0}});
  expect_pointer_fields<DebugSymbol>({{"name", [](auto b) { b.setName("n"); }, 0}});
  expect_pointer_fields<TileProfilePlan>({{"steps", [](auto b) { b.initSteps(1); }, 0}});
  expect_pointer_fields<ProfileStep>({
      {"operation", [](auto b) { b.setOperation("o"); }, 0},
      {"kernel", [](auto b) { b.setKernel("k"); }, 1},
      {"metadata", [](auto b) { b.initMetadata(1); }, 2},
      {"exchangeActivities", [](auto b) { b.initExchangeActivities(1); }, 3},
  });
  expect_pointer_fields<MetadataEntry>({
      {"name", [](auto b) { b.setName("n"); }, 0},
      {"value", [](auto b) { b.setValue("v"); }, 1},
  });
}

}  // namespace
}  // namespace zel_package
