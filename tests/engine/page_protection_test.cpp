#include "crypto/page_protection.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <unistd.h>
#include <xxhash.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/xaes256gcm.hpp"
#include "format/bytes.hpp"
#include "support/child_process.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::vector<std::uint8_t> text_bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// --- Published vectors of the primitives ---

TEST(Xaes256GcmVectors, first_published_vector) {
  auto key = from_hex("0101010101010101010101010101010101010101010101010101010101010101");
  auto nonce = text_bytes("ABCDEFGHIJKLMNOPQRSTUVWX");
  auto xaes = Xaes256Gcm::create(std::span<const std::uint8_t, 32>(key.data(), 32)).value();
  std::array<std::uint8_t, 32> kx;
  ASSERT_TRUE(xaes.derive_key(std::span<const std::uint8_t, 24>(nonce.data(), 24), kx));
  EXPECT_EQ(to_hex(kx), "c8612c9ed53fe43e8e005b828a1631a0bbcb6ab2f46514ec4f439fcfd0fa969b");
  auto data = text_bytes("XAES-256-GCM");
  std::array<std::uint8_t, 16> tag;
  ASSERT_TRUE(xaes.seal(std::span<const std::uint8_t, 24>(nonce.data(), 24), {}, data, tag));
  EXPECT_EQ(to_hex(data) + to_hex(tag), "ce546ef63c9cc60765923609b33a9a1974e96e52daf2fcf7075e2271");
  ASSERT_TRUE(xaes.open(std::span<const std::uint8_t, 24>(nonce.data(), 24), {}, data, tag));
  EXPECT_EQ(data, text_bytes("XAES-256-GCM"));
}

TEST(Xaes256GcmVectors, second_vector_with_carry_and_associated_data) {
  auto key = from_hex("0303030303030303030303030303030303030303030303030303030303030303");
  auto nonce = text_bytes("ABCDEFGHIJKLMNOPQRSTUVWX");
  auto ad = text_bytes("c2sp.org/XAES-256-GCM");
  auto xaes = Xaes256Gcm::create(std::span<const std::uint8_t, 32>(key.data(), 32)).value();
  std::array<std::uint8_t, 32> kx;
  ASSERT_TRUE(xaes.derive_key(std::span<const std::uint8_t, 24>(nonce.data(), 24), kx));
  EXPECT_EQ(to_hex(kx), "e9c621d4cdd9b11b00a6427ad7e559aeedd66b3857646677748f8ca796cb3fd8");
  auto data = text_bytes("XAES-256-GCM");
  std::array<std::uint8_t, 16> tag;
  ASSERT_TRUE(xaes.seal(std::span<const std::uint8_t, 24>(nonce.data(), 24), ad, data, tag));
  EXPECT_EQ(to_hex(data) + to_hex(tag), "986ec1832593df5443a179437fd083bf3fdb41abd740a21f71eb769d");
  // The associated data is bound: another one fails.
  auto other_ad = text_bytes("c2sp.org/XAES-256-GCN");
  EXPECT_FALSE(xaes.open(std::span<const std::uint8_t, 24>(nonce.data(), 24), other_ad, data, tag));
}

// SHAKE-128 output of a given length in one squeeze (this OpenSSL cannot
// squeeze twice), for the accumulated vector.
std::vector<std::uint8_t> shake128(std::span<const std::uint8_t> input, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_shake128(), nullptr);
  EVP_DigestUpdate(ctx, input.data(), input.size());
  EVP_DigestFinalXOF(ctx, out.data(), out.size());
  EVP_MD_CTX_free(ctx);
  return out;
}

TEST(Xaes256GcmVectors, accumulated_ten_thousand_iterations) {
  // Each iteration reads at most 32 + 24 + 1 + 255 + 1 + 255 bytes.
  auto stream = shake128({}, 10000 * 568);
  EXPECT_EQ(to_hex(std::span(stream).first(16)), "7f9c2ba4e88f827d616045507605853e");
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    std::span<const std::uint8_t> s(stream.data() + at, n);
    at += n;
    return s;
  };
  std::vector<std::uint8_t> accumulated;
  for (int i = 0; i < 10000; ++i) {
    auto key = take(32);
    auto nonce = take(24);
    auto plain_span = take(take(1)[0]);
    std::vector<std::uint8_t> data(plain_span.begin(), plain_span.end());
    auto ad = take(take(1)[0]);
    auto xaes = Xaes256Gcm::create(std::span<const std::uint8_t, 32>(key.data(), 32)).value();
    std::array<std::uint8_t, 16> tag;
    ASSERT_TRUE(xaes.seal(std::span<const std::uint8_t, 24>(nonce.data(), 24), ad, data, tag));
    accumulated.insert(accumulated.end(), data.begin(), data.end());
    accumulated.insert(accumulated.end(), tag.begin(), tag.end());
  }
  EXPECT_EQ(to_hex(shake128(accumulated, 32)),
            "e6b9edf2df6cec60c8cbd864e2211b597fb69a529160cd040d56c0c210081939");
}

TEST(XChaCha20Poly1305Vectors, draft_rfc_vector_sealed_in_place) {
  ASSERT_GE(sodium_init(), 0);
  auto key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  auto nonce = from_hex("404142434445464748494a4b4c4d4e4f5051525354555657");
  auto ad = from_hex("50515253c0c1c2c3c4c5c6c7");
  auto data = text_bytes(
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.");
  std::array<std::uint8_t, 16> tag;
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(data.data(), tag.data(), nullptr, data.data(),
                                                      data.size(), ad.data(), ad.size(), nullptr,
                                                      nonce.data(), key.data());
  EXPECT_EQ(to_hex(data),
            "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb"
            "731c7f1b0b4aa6440bf3a82f4eda7e39ae64c6708c54c216cb96b72e1213b452"
            "2f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff9"
            "21f9664c97637da9768812f615c68b13b52e");
  EXPECT_EQ(to_hex(tag), "c0875924c1c7987947deafd8780acf49");
}

TEST(Xxh3Vectors, empty_input_and_streamed_page_checksum) {
  XXH128_hash_t empty = XXH3_128bits(nullptr, 0);
  EXPECT_EQ(empty.high64, 0x99aa06d3014798d8ull);
  EXPECT_EQ(empty.low64, 0x6001c324468d497full);

  // The streamed checksum equals a one-shot hash of the same bytes laid out
  // contiguously, stored low half first.
  std::vector<std::uint8_t> page(4096);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 31);
  std::vector<std::uint8_t> joined(8);
  store_u64_le(joined.data(), 0x1122334455667788);
  joined.insert(joined.end(), page.begin(), page.end() - 16);
  XXH128_hash_t direct = XXH3_128bits(joined.data(), joined.size());
  PageStamp stamp = page_checksum(0x1122334455667788, page);
  EXPECT_EQ(load_u64_le(stamp.bytes.data()), direct.low64);
  EXPECT_EQ(load_u64_le(stamp.bytes.data() + 8), direct.high64);
}

// --- Page protection in each mode ---

struct Mode {
  PageCipher cipher;
  std::size_t page_size;
};

std::string mode_name(const ::testing::TestParamInfo<Mode>& info) {
  const char* c = info.param.cipher == PageCipher::Checksum            ? "checksum"
                  : info.param.cipher == PageCipher::XChaCha20Poly1305 ? "xchacha"
                                                                       : "xaes";
  return std::string(c) + "_" + std::to_string(info.param.page_size);
}

PageProtection make_protection(PageCipher cipher, std::uint8_t key_byte = 7) {
  if (cipher == PageCipher::Checksum) return PageProtection::checksum();
  std::array<std::uint8_t, 32> key;
  key.fill(key_byte);
  return PageProtection::with_key(static_cast<std::uint8_t>(cipher), key).value();
}

std::vector<std::uint8_t> sample_page(std::size_t size, std::uint64_t seed) {
  std::vector<std::uint8_t> page(size, 0);
  std::mt19937_64 rng(seed);
  PageHeader{.kind = 1, .level = 0, .commit_id = 12, .tree_id = 17}.write(page);
  for (std::size_t i = kPageContentOffset; i < size - kPageStampSize; ++i)
    page[i] = static_cast<std::uint8_t>(rng());
  return page;
}

class PageProtectionModes : public ::testing::TestWithParam<Mode> {
 protected:
  PageProtection protection = make_protection(GetParam().cipher);
  std::size_t page_size = GetParam().page_size;
};

TEST_P(PageProtectionModes, sealed_page_opens_to_its_content_and_stamp) {
  auto page = sample_page(page_size, 1);
  auto original = page;
  PageStamp stamp = protection.seal_page(9, page).value();
  EXPECT_EQ(page_trailer(page), stamp);
  auto opened = protection.open_page(9, page);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, stamp);
  EXPECT_TRUE(std::equal(page.begin() + kPageSealedBodyOffset, page.end() - kPageStampSize,
                         original.begin() + kPageSealedBodyOffset));
  EXPECT_EQ(PageHeader::read(page), PageHeader::read(original));
}

TEST_P(PageProtectionModes, refuses_a_flipped_bit_anywhere) {
  auto page = sample_page(page_size, 2);
  ASSERT_TRUE(protection.seal_page(5, page));
  const auto sealed = page;
  std::mt19937_64 rng(99);
  // Every byte of a 4 KiB page; a spread of bytes of larger pages, always
  // including the nonce, the header and the trailer.
  std::size_t step = page_size / 4096;
  for (std::size_t i = 0; i < page_size; i += (i < 64 || i >= page_size - 32) ? 1 : step) {
    auto damaged = sealed;
    damaged[i] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    ASSERT_FALSE(protection.open_page(5, damaged)) << "byte " << i;
  }
  auto intact = sealed;
  EXPECT_TRUE(protection.open_page(5, intact));
}

TEST_P(PageProtectionModes, refuses_a_page_written_under_another_number) {
  auto page = sample_page(page_size, 3);
  ASSERT_TRUE(protection.seal_page(100, page));
  for (std::uint64_t other : {0ull, 99ull, 101ull, 100ull + (1ull << 32)}) {
    auto moved = page;
    EXPECT_FALSE(protection.open_page(other, moved)) << other;
  }
}

TEST_P(PageProtectionModes, a_rewritten_page_gets_a_new_stamp) {
  // What a stale parent pointer relies on: a new image of the same page
  // never carries the old stamp.
  auto page = sample_page(page_size, 4);
  PageStamp first = protection.seal_page(3, page).value();
  auto rewritten = sample_page(page_size, 4);
  rewritten[kPageContentOffset] ^= 1;
  PageStamp second = protection.seal_page(3, rewritten).value();
  EXPECT_NE(first, second);
}

INSTANTIATE_TEST_SUITE_P(AllModes, PageProtectionModes,
                         ::testing::Values(Mode{PageCipher::Checksum, 4096},
                                           Mode{PageCipher::Checksum, 65536},
                                           Mode{PageCipher::XChaCha20Poly1305, 4096},
                                           Mode{PageCipher::XChaCha20Poly1305, 65536},
                                           Mode{PageCipher::XAes256Gcm, 4096},
                                           Mode{PageCipher::XAes256Gcm, 65536}),
                         mode_name);

class SealedModes : public ::testing::TestWithParam<PageCipher> {};

TEST_P(SealedModes, sealed_page_never_holds_its_plaintext) {
  auto protection = make_protection(GetParam());
  std::vector<std::uint8_t> page(4096, 0);
  PageHeader{.kind = 4, .level = 0, .commit_id = 77, .tree_id = 20}.write(page);
  const std::string secret = "card number 4111-1111-1111-1111 ";
  for (std::size_t i = kPageContentOffset; i + secret.size() < page.size() - 16; i += secret.size())
    std::memcpy(page.data() + i, secret.data(), secret.size());
  auto plain = page;
  ASSERT_TRUE(protection.seal_page(1, page));
  std::string sealed(page.begin(), page.end());
  EXPECT_EQ(sealed.find("card number"), std::string::npos);
  EXPECT_EQ(sealed.find("1111"), std::string::npos);
  // Header fields are sealed too: nothing but chance matches.
  std::size_t same = 0;
  for (std::size_t i = kPageSealedBodyOffset; i < page.size() - 16; ++i)
    same += page[i] == plain[i];
  EXPECT_LT(same, 64u);
}

TEST_P(SealedModes, failed_open_leaves_no_unverified_plaintext) {
  auto protection = make_protection(GetParam());
  auto page = sample_page(4096, 8);
  auto plain = page;
  ASSERT_TRUE(protection.seal_page(3, page));
  page[page.size() - 1] ^= 1;  // the tag
  EXPECT_FALSE(protection.open_page(3, page));
  EXPECT_TRUE(std::all_of(page.begin() + kPageSealedBodyOffset, page.end() - kPageStampSize,
                          [](std::uint8_t x) { return x == 0; }));
}

TEST_P(SealedModes, every_seal_draws_a_fresh_nonce) {
  auto protection = make_protection(GetParam());
  auto a = sample_page(4096, 5), b = a;
  PageStamp sa = protection.seal_page(2, a).value();
  PageStamp sb = protection.seal_page(2, b).value();
  EXPECT_NE(sa, sb);
  EXPECT_FALSE(std::equal(a.begin(), a.begin() + 24, b.begin()));
}

TEST_P(SealedModes, another_key_cannot_open_a_page) {
  auto protection = make_protection(GetParam(), 1);
  auto other = make_protection(GetParam(), 2);
  auto page = sample_page(4096, 6);
  ASSERT_TRUE(protection.seal_page(4, page));
  EXPECT_FALSE(other.open_page(4, page));
}

TEST_P(SealedModes, forked_child_never_reuses_the_parents_nonces) {
  auto protection = make_protection(GetParam());
  auto warm = sample_page(4096, 9);
  ASSERT_TRUE(protection.seal_page(1, warm));  // the parent holds a batch of nonces now
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  testing::Child child = testing::Child::forked([&] {
    auto page = sample_page(4096, 10);
    bool sealed = protection.seal_page(2, page).has_value();
    ssize_t n = sealed ? ::write(fds[1], page.data(), 24) : 0;
    return n == 24 ? 0 : 1;
  });
  auto page = sample_page(4096, 10);
  ASSERT_TRUE(protection.seal_page(2, page));
  std::uint8_t child_nonce[24];
  ASSERT_EQ(::read(fds[0], child_nonce, 24), 24);
  EXPECT_EQ(child.wait(), 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(std::memcmp(child_nonce, page.data(), 24), 0);
}

TEST_P(SealedModes, many_threads_seal_and_open_through_one_protection) {
  auto protection = make_protection(GetParam());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto page = sample_page(4096, static_cast<std::uint64_t>(t * 1000 + i));
        auto plain = page;
        auto stamp = protection.seal_page(static_cast<std::uint64_t>(i + 1), page);
        auto opened = protection.open_page(static_cast<std::uint64_t>(i + 1), page);
        if (!stamp || !opened || *opened != *stamp ||
            !std::equal(page.begin() + 24, page.end() - 16, plain.begin() + 24))
          failures++;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, SealedModes,
                         ::testing::Values(PageCipher::XChaCha20Poly1305, PageCipher::XAes256Gcm));

TEST(PageProtection, the_two_ciphers_do_not_open_each_others_pages) {
  auto xchacha = make_protection(PageCipher::XChaCha20Poly1305);
  auto xaes = make_protection(PageCipher::XAes256Gcm);
  auto page = sample_page(4096, 7);
  ASSERT_TRUE(xchacha.seal_page(4, page));
  EXPECT_FALSE(xaes.open_page(4, page));
}

TEST(PageProtection, checksum_mode_zeroes_the_nonce_field) {
  auto protection = PageProtection::checksum();
  std::vector<std::uint8_t> page(4096, 0xCC);
  ASSERT_TRUE(protection.seal_page(1, page));
  for (std::size_t i = 0; i < 24; ++i) EXPECT_EQ(page[i], 0) << i;
  EXPECT_FALSE(protection.is_encrypted());
}

TEST(PageProtection, unknown_cipher_byte_is_refused) {
  std::array<std::uint8_t, 32> key{};
  for (std::uint8_t cipher : {0, 3, 255}) {
    auto protection = PageProtection::with_key(cipher, key);
    ASSERT_FALSE(protection);
    EXPECT_EQ(protection.error().kind(), ErrorKind::Internal);
  }
}

TEST(PageProtection, pages_are_not_sealed_under_the_raw_data_key) {
  std::array<std::uint8_t, 32> key;
  key.fill(7);
  auto protection = make_protection(PageCipher::XChaCha20Poly1305);
  auto page = sample_page(4096, 8);
  ASSERT_TRUE(protection.seal_page(1, page));
  std::array<std::uint8_t, 8> ad{1, 0, 0, 0, 0, 0, 0, 0};
  int raw = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
      page.data() + 24, nullptr, page.data() + 24, page.size() - 40, page.data() + page.size() - 16,
      ad.data(), ad.size(), page.data(), key.data());
  EXPECT_NE(raw, 0);
}

TEST(PageProtection, automatic_cipher_is_one_of_the_two) {
  PageCipher c = automatic_page_cipher();
  EXPECT_TRUE(c == PageCipher::XChaCha20Poly1305 || c == PageCipher::XAes256Gcm);
#if defined(__x86_64__)
  __builtin_cpu_init();
  EXPECT_EQ(c == PageCipher::XAes256Gcm,
            __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul"));
#endif
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
