// libsodium picks its fastest implementations for this processor once, in
// sodium_init; every user of the library calls this first (cheap after the
// first call, safe from any thread).
#pragma once

namespace deziro {

void ensure_sodium_ready();

}  // namespace deziro
