#include "siphash.hpp"

#include <bit>

namespace deziro::binding {

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

std::uint64_t load_le(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
  return word;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t key0, std::uint64_t key1,
                        std::span<const std::uint8_t> bytes) {
  SipState state{key0 ^ 0x736f6d6570736575ULL, key1 ^ 0x646f72616e646f6dULL,
                 key0 ^ 0x6c7967656e657261ULL, key1 ^ 0x7465646279746573ULL};
  const std::size_t whole = bytes.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) state.absorb(load_le(bytes.data() + i, 8));
  std::uint64_t last = std::uint64_t{bytes.size() & 0xff} << 56;
  last |= load_le(bytes.data() + whole, bytes.size() - whole);
  state.absorb(last);
  state.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) state.round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

}  // namespace deziro::binding
