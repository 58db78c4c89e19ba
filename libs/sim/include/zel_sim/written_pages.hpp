#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "zel_base/unique_fd.hpp"

namespace zel_sim {

// Which pages of a range of this process's memory have been written since the last look, as
// the kernel's write-protect tracking records them: a written page takes one minor fault, a
// look costs a walk of the range's page table, and neither reads the pages. Where the kernel
// cannot tell (no such tracking, a range it no longer covers), every page counts as written:
// the answer errs only towards looking at a page again.
class WrittenPages {
 public:
  static constexpr std::size_t PAGE_BYTES = 4096;

  WrittenPages() = default;
  WrittenPages(const WrittenPages&) = delete;
  WrittenPages& operator=(const WrittenPages&) = delete;
  ~WrittenPages() { stop(); }

  // Watches `range` from now on (a range that does not start on a page boundary cannot be
  // tracked); a range already watched stays as it is. Until the first look, every page counts
  // as written.
  void watch(std::span<const std::byte> range);
  // Stops watching: the pages take writes without a fault again.
  void stop();
  // Whether the kernel tracks the watched range.
  bool tracking() const { return static_cast<bool>(faults_); }
  // By page of the watched range: whether it may have been written since the previous look.
  // Only the pages from `first_page` on are looked at and re-armed; the ones before it count
  // as written (pages the caller reads anyway need not fault each time they are written).
  std::vector<bool> look(std::size_t first_page);

 private:
  bool track_writes();
  // Gives up tracking; the range stays watched, every page counting as written.
  void release();
  bool mark_written_pages(std::size_t first_page, std::vector<bool>& written);

  std::span<const std::byte> range_;
  zel_base::UniqueFd faults_;
  zel_base::UniqueFd page_map_;
};

}  // namespace zel_sim
