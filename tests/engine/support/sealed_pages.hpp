// Builds sealed page images for tests of the page layer and above.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/page_protection.hpp"
#include "format/page.hpp"
#include "storage/storage.hpp"

namespace deziro::testing_support {

// A page of `page_size` bytes with `header` and content drawn from `seed`,
// sealed for `page_number`; `pointer` is what a parent would keep.
struct SealedPage {
  std::vector<std::uint8_t> bytes;
  ChildPointer pointer;
};

inline SealedPage sealed_page(const PageProtection& protection, std::size_t page_size,
                              std::uint64_t page_number, PageHeader header,
                              std::uint64_t seed = 1) {
  SealedPage out;
  out.bytes.assign(page_size, 0);
  header.write(out.bytes);
  std::mt19937_64 rng(seed);
  for (std::size_t i = kPageContentOffset; i < page_size - kPageStampSize; ++i)
    out.bytes[i] = static_cast<std::uint8_t>(rng());
  PageStamp stamp = protection.seal_page(page_number, out.bytes).value();
  out.pointer = ChildPointer{.page = page_number, .commit_id = header.commit_id, .stamp = stamp};
  return out;
}

inline void put_page(Storage& storage, std::size_t page_size, std::uint64_t page_number,
                     const std::vector<std::uint8_t>& bytes) {
  (void)storage.write_at(page_number * page_size, bytes).value();
}

inline PageProtection protection_for(PageCipher cipher) {
  if (cipher == PageCipher::Checksum) return PageProtection::checksum();
  std::array<std::uint8_t, 32> key;
  key.fill(0x42);
  return PageProtection::with_key(static_cast<std::uint8_t>(cipher), key).value();
}

}  // namespace deziro::testing_support
