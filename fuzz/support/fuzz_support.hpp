// What the fuzz targets share: a property that fails stops the run with a
// message (libFuzzer then keeps the input), and the views of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "format/object/codec.hpp"

namespace deziro::fuzz {

// Prints what failed and aborts, so that the fuzzer reports the input.
[[noreturn]] void failure(std::string_view property, std::string_view detail = {});

#define FUZZ_CHECK(condition, detail)                                \
  do {                                                               \
    if (!(condition)) ::deziro::fuzz::failure(#condition, (detail)); \
  } while (0)

inline ByteView input_bytes(const std::uint8_t* data, std::size_t size) { return {data, size}; }

// Bytes as lower-case hex, for messages.
std::string hex(ByteView bytes);

// Whether an error is one a damaged or foreign file may rightly give: never
// INTERNAL, never a kind that speaks of the caller's arguments or of locks.
bool is_file_error(const Error& error);

// Stops the run unless `error` is a file error.
void require_file_error(const Error& error, std::string_view during);

}  // namespace deziro::fuzz
