#pragma once

// Helpers of the package reader that copy values out of a Cap'n Proto message.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include <capnp/list.h>
#include <kj/exception.h>

#include "zel_base/try.hpp"
#include "zel_package/package_error.hpp"

namespace zel_package::detail {

// A Cap'n Proto exception as the package library's error of it.
CapnpError capnp_error(const kj::Exception& exception);

// An owned copy of a message text, or Utf8 when it is not UTF-8.
[[nodiscard]] std::expected<std::string, PackageError> copy_text(capnp::Text::Reader text);

std::vector<std::uint32_t> copy_u32_list(capnp::List<std::uint32_t>::Reader list);

// Converts every element of a wire list in list order with a conversion that cannot fail.
template <class Record, class WireList, class Convert>
std::vector<Record> copy_list(WireList list, Convert convert) {
  std::vector<Record> records;
  records.reserve(list.size());
  for (auto element : list) records.push_back(convert(element));
  return records;
}

// Converts every element of a wire list in list order; the first failing element ends it.
template <class Record, class WireList, class Convert>
[[nodiscard]] std::expected<std::vector<Record>, PackageError> convert_list(WireList list,
                                                                            Convert convert) {
  std::vector<Record> records;
  records.reserve(list.size());
  for (auto element : list) {
    ZEL_TRY_ASSIGN(Record record, convert(element));
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace zel_package::detail
