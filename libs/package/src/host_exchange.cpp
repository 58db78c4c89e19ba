#include "zel_package/host_exchange.hpp"

#include <limits>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "validation_rules.hpp"
#include "zel_base/try.hpp"

namespace zel_package {

namespace {

using Status = std::expected<void, PackageError>;
using PageSizes = std::unordered_map<std::uint32_t, std::uint64_t>;

// The command word the host writes at `command_offset` of the command page.
constexpr std::uint64_t COMMAND_SIZE = 4;

std::unexpected<PackageError> invalid(std::string text) {
  return std::unexpected(PackageError::invalid(std::move(text)));
}

// Whether [offset, offset + size) fits 64 bits and ends at or below `limit`.
bool range_within(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return size <= std::numeric_limits<std::uint64_t>::max() - offset && offset + size <= limit;
}

bool fits_64_bits(std::uint64_t offset, std::uint64_t size) {
  return range_within(offset, size, std::numeric_limits<std::uint64_t>::max());
}

[[nodiscard]] std::expected<PageSizes, PackageError> page_table(const HostExchange& exchange) {
  PageSizes pages;
  for (const HostPage& page : exchange.pages) pages.emplace(page.index, page.size);
  bool attachable = true;
  for (std::uint32_t index : exchange.attach_order)
    attachable = attachable && pages.contains(index);
  // Fewer entries than pages means some index was repeated.
  if (pages.size() < exchange.pages.size() || !attachable)
    return invalid("invalid host page table");
  return pages;
}

[[nodiscard]] Status validate_startup(const HostExchange& exchange, const PageSizes& pages) {
  // Without host calls the command is never written, so its place does not matter.
  if (exchange.calls.empty()) return {};
  const auto page = pages.find(exchange.command_page);
  if (page == pages.end() || !range_within(exchange.command_offset, COMMAND_SIZE, page->second)) {
    return invalid("invalid host startup protocol");
  }
  return {};
}

[[nodiscard]] Status validate_slices(const HostCall& call, const std::vector<HostSlice>& slices,
                                     const PageSizes& pages) {
  for (const HostSlice& slice : slices) {
    const auto page = pages.find(slice.page);
    if (page == pages.end()) {
      return invalid(fmt::format("host call {} references missing page", call.name));
    }
    if (!range_within(slice.page_offset, slice.size, page->second) ||
        !fits_64_bits(slice.file_offset, slice.size)) {
      return invalid(fmt::format("host call {} has an invalid slice range", call.name));
    }
  }
  return {};
}

[[nodiscard]] Status validate_call(const HostCall& call, const PageSizes& pages) {
  if (call.invocations == 0) {
    return invalid(fmt::format("host call {} has no invocations", call.name));
  }
  ZEL_TRY(validate_host_batch_ends(call, "input", call.input_batch_ends, call.inputs.size()));
  ZEL_TRY(validate_host_batch_ends(call, "output", call.output_batch_ends, call.outputs.size()));
  ZEL_TRY(validate_slices(call, call.inputs, pages));
  return validate_slices(call, call.outputs, pages);
}

}  // namespace

[[nodiscard]] std::expected<void, PackageError> validate_host_batch_ends(
    const HostCall& call, std::string_view direction, std::span<const std::uint32_t> ends,
    std::size_t slice_count) {
  std::size_t previous = 0;
  for (std::uint32_t end : ends) {
    if (end <= previous || end > slice_count) {
      return invalid(
          fmt::format("host call {} has invalid {} batch boundary {}", call.name, direction, end));
    }
    previous = end;
  }
  if (previous != slice_count) {
    return invalid(fmt::format("host call {} {} batches cover {} of {} slices", call.name,
                               direction, previous, slice_count));
  }
  return {};
}

namespace detail {

[[nodiscard]] std::expected<void, PackageError> validate_host_exchange(
    const HostExchange& exchange) {
  ZEL_TRY_ASSIGN(const auto pages, page_table(exchange));
  ZEL_TRY(validate_startup(exchange, pages));
  for (const HostCall& call : exchange.calls) {
    ZEL_TRY(validate_call(call, pages));
  }
  return {};
}

}  // namespace detail

}  // namespace zel_package
