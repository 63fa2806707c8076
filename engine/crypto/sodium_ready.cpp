#include "crypto/sodium_ready.hpp"

#include <sodium.h>

namespace deziro {

void ensure_sodium_ready() {
  // sodium_init is idempotent and thread-safe; the static only spares the
  // repeated call. It fails only without a usable random source, which the
  // engine draws from the kernel itself anyway.
  static const int ready = sodium_init();
  (void)ready;
}

}  // namespace deziro
