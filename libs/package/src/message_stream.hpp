#pragma once

// Reading one Cap'n Proto message (standard stream framing, not packed) from a descriptor.

#include <chrono>
#include <cstddef>
#include <expected>

#include <capnp/common.h>
#include <capnp/message.h>
#include <kj/array.h>

#include "zel_package/package_error.hpp"

namespace zel_package::detail {

// Reads the segment table and the segments of one message into one word-aligned buffer, the
// table first, as a flat-array reader takes them; bytes after the message stay unread. A
// stream that gives no data for `stall_limit` fails the read.
[[nodiscard]] std::expected<kj::Array<capnp::word>, PackageError> read_message_words(
    int fd, std::chrono::milliseconds stall_limit);

// Reader options for a message of `message_words` words: the nesting limit stays at its
// default, the traversal limit is a small multiple of the message size with a floor for
// small messages.
capnp::ReaderOptions capnp_reader_options(std::size_t message_words);

}  // namespace zel_package::detail
