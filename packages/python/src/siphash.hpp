// SipHash-1-3, the hash the interpreter gives bytes, for Param's hash().
// Not a cryptographic use: it only has to agree with Python's semantics.
#pragma once

#include <cstdint>
#include <span>

namespace deziro::binding {

std::uint64_t siphash13(std::uint64_t key0, std::uint64_t key1,
                        std::span<const std::uint8_t> bytes);

}  // namespace deziro::binding
