#include "wire_conversion.hpp"

#include <string_view>

#include "zel_package/utf8.hpp"

namespace zel_package::detail {

namespace {

std::string_view type_name(kj::Exception::Type type) {
  switch (type) {
    case kj::Exception::Type::FAILED:
      return "Failed";
    case kj::Exception::Type::OVERLOADED:
      return "Overloaded";
    case kj::Exception::Type::DISCONNECTED:
      return "Disconnected";
    case kj::Exception::Type::UNIMPLEMENTED:
      return "Unimplemented";
  }
  return "Failed";
}

}  // namespace

// The description may quote bytes of the message, NUL among them: it is taken whole.
CapnpError capnp_error(const kj::Exception& exception) {
  const kj::StringPtr description = exception.getDescription();
  return CapnpError(std::string(type_name(exception.getType())),
                    std::string(description.begin(), description.size()));
}

[[nodiscard]] std::expected<std::string, PackageError> copy_text(capnp::Text::Reader text) {
  std::string_view bytes(text.begin(), text.size());
  ZEL_TRY(validate_utf8(bytes));
  return std::string(bytes);
}

std::vector<std::uint32_t> copy_u32_list(capnp::List<std::uint32_t>::Reader list) {
  std::vector<std::uint32_t> values;
  values.reserve(list.size());
  for (std::uint32_t value : list) values.push_back(value);
  return values;
}

}  // namespace zel_package::detail
