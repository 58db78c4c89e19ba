#include "zel_sim/written_pages.hpp"

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace zel_sim {

namespace {

// The asynchronous write-protect mode of userfaultfd and the page-map scan that reads and
// re-arms it. The distribution's kernel headers predate both, so their records are written
// out here as the kernel defines them.
constexpr std::uint64_t FEATURE_WP_ASYNC = 1u << 15;

struct PageRegion {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t categories;
};

struct PageMapScan {
  std::uint64_t size;
  std::uint64_t flags;
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t walk_end;
  std::uint64_t vec;
  std::uint64_t vec_len;
  std::uint64_t max_pages;
  std::uint64_t category_inverted;
  std::uint64_t category_mask;
  std::uint64_t category_anyof_mask;
  std::uint64_t return_mask;
};
static_assert(sizeof(PageMapScan) == 96);

constexpr unsigned long PAGEMAP_SCAN = _IOWR('f', 16, PageMapScan);
// Re-arm the pages scanned; fail rather than report on a mapping not tracked this way.
constexpr std::uint64_t SCAN_WP_MATCHING = 1u << 0;
constexpr std::uint64_t SCAN_CHECK_WPASYNC = 1u << 1;
constexpr std::uint64_t PAGE_IS_WPALLOWED = 1u << 0;
constexpr std::uint64_t PAGE_IS_WRITTEN = 1u << 1;
constexpr std::uint64_t PAGE_IS_PRESENT = 1u << 3;

std::uint64_t address_of(const std::byte* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

}  // namespace

void WrittenPages::watch(std::span<const std::byte> range) {
  if (range.data() == range_.data() && range.size() == range_.size()) return;
  stop();
  range_ = range;
  if (address_of(range.data()) % PAGE_BYTES != 0 || !track_writes()) release();
}

bool WrittenPages::track_writes() {
  faults_ = zel_base::UniqueFd(
      static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK | UFFD_USER_MODE_ONLY)));
  page_map_ = zel_base::UniqueFd(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
  if (!faults_ || !page_map_) return false;
  uffdio_api api{.api = UFFD_API, .features = FEATURE_WP_ASYNC, .ioctls = 0};
  uffdio_register registration{.range = {.start = address_of(range_.data()), .len = range_.size()},
                               .mode = UFFDIO_REGISTER_MODE_WP,
                               .ioctls = 0};
  return ::ioctl(faults_.get(), UFFDIO_API, &api) == 0 &&
         ::ioctl(faults_.get(), UFFDIO_REGISTER, &registration) == 0;
}

void WrittenPages::stop() {
  release();
  range_ = {};
}

void WrittenPages::release() {
  if (faults_) {
    // Unregistering lifts the protection of every page; closing alone may leave it to fault.
    uffdio_range range{.start = address_of(range_.data()), .len = range_.size()};
    ::ioctl(faults_.get(), UFFDIO_UNREGISTER, &range);
  }
  faults_.reset();
  page_map_.reset();
}

std::vector<bool> WrittenPages::look(std::size_t first_page) {
  const std::size_t pages = (range_.size() + PAGE_BYTES - 1) / PAGE_BYTES;
  std::vector<bool> written(pages, false);
  std::fill_n(written.begin(), std::min(first_page, pages), true);
  if (!tracking() || !mark_written_pages(first_page, written)) {
    release();
    written.assign(pages, true);
  }
  return written;
}

bool WrittenPages::mark_written_pages(std::size_t first_page, std::vector<bool>& written) {
  const std::uint64_t base = address_of(range_.data());
  const std::uint64_t end = base + range_.size();
  // A scan skips what is not mapped, so a range whose mapping went away is caught here.
  if (::msync(const_cast<std::byte*>(range_.data()), range_.size(), MS_ASYNC) != 0) return false;
  std::array<PageRegion, 64> regions;
  // Only pages in memory that were written are reported and re-armed; the others are still
  // armed, and not reporting them keeps the answer short. A page never touched reads as zero
  // and needs no protection: touched later, it comes in unprotected and so reports as
  // written. Protecting it instead would give it a page table of its own, and so small pages
  // only.
  std::uint64_t covered = base + first_page * PAGE_BYTES;
  while (covered < end) {
    PageMapScan scan{.size = sizeof(PageMapScan),
                     .flags = SCAN_WP_MATCHING | SCAN_CHECK_WPASYNC,
                     .start = covered,
                     .end = end,
                     .walk_end = 0,
                     .vec = reinterpret_cast<std::uintptr_t>(regions.data()),
                     .vec_len = regions.size(),
                     .max_pages = 0,
                     .category_inverted = 0,
                     .category_mask = PAGE_IS_PRESENT | PAGE_IS_WRITTEN,
                     .category_anyof_mask = 0,
                     .return_mask = PAGE_IS_WPALLOWED};
    const int found = ::ioctl(page_map_.get(), PAGEMAP_SCAN, &scan);
    if (found < 0 || scan.walk_end <= covered) return false;
    for (const PageRegion& region : std::span(regions).first(static_cast<std::size_t>(found))) {
      if ((region.categories & PAGE_IS_WPALLOWED) == 0) return false;
      std::fill(written.begin() + static_cast<std::ptrdiff_t>((region.start - base) / PAGE_BYTES),
                written.begin() + static_cast<std::ptrdiff_t>((region.end - base) / PAGE_BYTES),
                true);
    }
    covered = scan.walk_end;
  }
  return true;
}

}  // namespace zel_sim
