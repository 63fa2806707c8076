// The one way the schema checks fail: INVALID_ARGUMENT with the message
// alone.
#pragma once

#include <string_view>

#include "error.hpp"
#include "text_format.hpp"

namespace deziro::schema_detail {

template <typename... Args>
std::unexpected<Error> refuse(std::string_view pattern, const Args&... args) {
  return fail(Error::invalid_argument(format_text(pattern, args...)));
}

}  // namespace deziro::schema_detail
