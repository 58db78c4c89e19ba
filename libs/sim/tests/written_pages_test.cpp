#include "zel_sim/written_pages.hpp"

#include <sys/mman.h>

#include <gtest/gtest.h>

namespace zel_sim {
namespace {

constexpr std::size_t PAGES = 8;
constexpr std::size_t BYTES = PAGES * WrittenPages::PAGE_BYTES;

struct Mapping {
  explicit Mapping(int populate = MAP_POPULATE)
      : bytes(static_cast<std::byte*>(::mmap(nullptr, BYTES, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0))) {}
  ~Mapping() { ::munmap(bytes, BYTES); }
  std::byte* bytes;
};

std::vector<bool> pages_written(std::initializer_list<std::size_t> pages) {
  std::vector<bool> written(PAGES, false);
  for (const std::size_t page : pages) written[page] = true;
  return written;
}

TEST(WrittenPages, ReportsThePagesWrittenSinceTheLastLook) {
  Mapping mapping;
  WrittenPages pages;
  pages.watch({mapping.bytes, BYTES});
  const std::vector<bool> all(PAGES, true);
  EXPECT_EQ(pages.look(0), all);  // nothing is known before the first look
  if (!pages.tracking()) GTEST_SKIP() << "the kernel does not track writes";
  EXPECT_EQ(pages.look(0), pages_written({}));
  mapping.bytes[5 * WrittenPages::PAGE_BYTES + 17] = std::byte{1};
  mapping.bytes[7 * WrittenPages::PAGE_BYTES] = std::byte{1};
  // Pages before the first one watched count as written, and are not watched from now on.
  EXPECT_EQ(pages.look(2), pages_written({0, 1, 5, 7}));
  mapping.bytes[0] = std::byte{1};
  EXPECT_EQ(pages.look(2), pages_written({0, 1}));
  pages.stop();  // nothing watched any more
  EXPECT_FALSE(pages.tracking());
  EXPECT_TRUE(pages.look(2).empty());
}

// Pages that come in only when touched: each counts as written once it is, whether first
// written or first read, and not before.
TEST(WrittenPages, ReportsPagesThatCameInSinceTheLastLook) {
  Mapping mapping(0);
  WrittenPages pages;
  pages.watch({mapping.bytes, BYTES});
  pages.look(0);
  if (!pages.tracking()) GTEST_SKIP() << "the kernel does not track writes";
  EXPECT_EQ(pages.look(0), pages_written({}));
  mapping.bytes[3 * WrittenPages::PAGE_BYTES + 9] = std::byte{1};
  static_cast<void>(
      *static_cast<volatile std::byte*>(&mapping.bytes[6 * WrittenPages::PAGE_BYTES]));
  EXPECT_EQ(pages.look(0), pages_written({3, 6}));
  EXPECT_EQ(pages.look(0), pages_written({}));
  mapping.bytes[3 * WrittenPages::PAGE_BYTES] = std::byte{2};
  mapping.bytes[4 * WrittenPages::PAGE_BYTES] = std::byte{2};
  EXPECT_EQ(pages.look(1), pages_written({0, 3, 4}));
}

TEST(WrittenPages, EveryPageCountsAsWrittenWhereTheKernelCannotTell) {
  Mapping mapping;
  WrittenPages pages;
  pages.watch({mapping.bytes + 1, BYTES - 1});  // not on a page boundary
  EXPECT_FALSE(pages.tracking());
  EXPECT_EQ(pages.look(0), std::vector<bool>(PAGES, true));
  EXPECT_EQ(pages.look(3), std::vector<bool>(PAGES, true));

  // A mapping that went away.
  auto* gone = static_cast<std::byte*>(
      ::mmap(nullptr, BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  pages.watch({gone, BYTES});
  pages.look(0);
  if (!pages.tracking()) GTEST_SKIP() << "the kernel does not track writes";
  ::munmap(gone, BYTES);
  EXPECT_EQ(pages.look(0), std::vector<bool>(PAGES, true));
  EXPECT_FALSE(pages.tracking());
}

}  // namespace
}  // namespace zel_sim
