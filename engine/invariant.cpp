#include "invariant.hpp"

#include "text_format.hpp"

namespace deziro {

void invariant_failed(const char* condition, const char* file, int line) {
  throw InvariantFailure(format_text("`{}` does not hold at {}:{}", condition, file, line));
}

}  // namespace deziro
