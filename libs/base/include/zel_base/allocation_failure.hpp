#pragma once

#include <expected>
#include <functional>
#include <new>
#include <type_traits>

namespace zel_base {

// Runs `body`, which returns a std::expected, and turns memory that runs short inside it into
// the caller's own error, made by `out_of_memory()`: an allocation failure is an error of the
// operation that was allocating, never an abort. What `body` disturbed must be put back by the
// owners that unwinding lets go.
template <class OutOfMemory, class Body>
std::invoke_result_t<Body&> with_allocation_failure_as(OutOfMemory&& out_of_memory, Body&& body) {
  try {
    return std::invoke(body);
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::invoke(out_of_memory));
  }
}

}  // namespace zel_base
