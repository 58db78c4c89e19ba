#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zel_package/package_error.hpp"

namespace zel_package {

// One page of host memory of the exchange protocol.
struct HostPage {
  std::uint32_t index = 0;
  std::uint64_t size = 0;

  bool operator==(const HostPage&) const = default;
};

// A piece of a host page that a call reads or writes.
struct HostSlice {
  std::uint32_t page = 0;
  std::uint64_t page_offset = 0;
  std::uint64_t file_offset = 0;
  std::uint64_t size = 0;

  bool operator==(const HostSlice&) const = default;
};

struct HostCall {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t phases = 0;
  std::vector<HostSlice> inputs;
  std::vector<HostSlice> outputs;
  // 1 when the package leaves it unset.
  std::uint32_t invocations = 1;
  // Exclusive end index into `inputs` / `outputs` of each batch, strictly increasing.
  std::vector<std::uint32_t> input_batch_ends;
  std::vector<std::uint32_t> output_batch_ends;

  bool operator==(const HostCall&) const = default;
};

// How the host exchanges data with the running application. The default has every number 0
// and every list empty.
struct HostExchange {
  std::uint32_t startup_mark = 0;
  std::uint32_t command_page = 0;
  std::uint64_t command_offset = 0;
  std::vector<HostPage> pages;
  // Page indices in attachment order; may repeat an index and need not name every page.
  std::vector<std::uint32_t> attach_order;
  std::vector<HostCall> calls;

  bool operator==(const HostExchange&) const = default;
};

// Checks that `ends` cut the `slice_count` slices of one direction ("input" or "output") of
// `call` into consecutive non-empty batches that cover them all: strictly increasing, each at
// most `slice_count`, the last equal to it (no ends at all for a direction without slices).
[[nodiscard]] std::expected<void, PackageError> validate_host_batch_ends(
    const HostCall& call, std::string_view direction, std::span<const std::uint32_t> ends,
    std::size_t slice_count);

}  // namespace zel_package
