// Randomness for nonces, salts, data keys, file ids and temporary names,
// straight from the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"

namespace deziro {

// Fills `out` from getrandom(2); INTERNAL only if the kernel refuses.
Status fill_random(std::span<std::uint8_t> out);

}  // namespace deziro
