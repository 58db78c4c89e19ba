#pragma once

#include <expected>
#include <utility>

// Propagation of std::expected errors, one line per fallible step. The error travels to the
// caller unchanged, or converted where the caller's error type is constructible from it
// (a package error becomes a device error's Package variant, say).
//
//   ZEL_TRY(device.write_config(offset, value));         // a step without a value
//   ZEL_TRY_ASSIGN(auto word, device.read_config(offset)); // a step whose value is kept

#define ZEL_TRY_CONCAT_INNER(a, b) a##b
#define ZEL_TRY_CONCAT(a, b) ZEL_TRY_CONCAT_INNER(a, b)
#define ZEL_TRY_NAME ZEL_TRY_CONCAT(zel_try_result_, __LINE__)

#define ZEL_TRY(...)                                              \
  do {                                                            \
    if (auto&& zel_try_result = (__VA_ARGS__); !zel_try_result) { \
      return std::unexpected(std::move(zel_try_result).error());  \
    }                                                             \
  } while (false)

#define ZEL_TRY_ASSIGN(declaration, ...)                                      \
  auto&& ZEL_TRY_NAME = (__VA_ARGS__);                                        \
  if (!ZEL_TRY_NAME) return std::unexpected(std::move(ZEL_TRY_NAME).error()); \
  declaration = std::move(ZEL_TRY_NAME).value()
