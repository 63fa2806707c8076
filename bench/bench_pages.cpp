// Seal and open throughput of each page protection mode on 4 KiB and
// 64 KiB pages, beside a plain memcpy of the same pages in the same run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/page_protection.hpp"
#include "storage/aligned_buffer.hpp"

using namespace deziro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kSetBytes = 4 << 20;  // pages per pass: 4 MiB, cache-sized
constexpr double kMinSeconds = 0.4;

void report(const std::string& workload, const char* engine, std::size_t page_size,
            std::uint64_t ops, double seconds) {
  double ns_per_op = seconds * 1e9 / static_cast<double>(ops);
  double mb_per_s = static_cast<double>(ops) * static_cast<double>(page_size) / seconds / 1e6;
  std::printf(
      "{\"bench\":\"pages\",\"workload\":\"%s\",\"engine\":\"%s\",\"page_size\":%zu,"
      "\"ops\":%llu,\"ns_per_op\":%.1f,\"mb_per_s\":%.1f}\n",
      workload.c_str(), engine, page_size, static_cast<unsigned long long>(ops), ns_per_op,
      mb_per_s);
  std::fflush(stdout);
}

const char* cipher_name(PageCipher cipher) {
  switch (cipher) {
    case PageCipher::Checksum:
      return "checksum";
    case PageCipher::XChaCha20Poly1305:
      return "xchacha20poly1305";
    case PageCipher::XAes256Gcm:
      return "xaes256gcm";
  }
  return "?";
}

PageProtection make(PageCipher cipher) {
  if (cipher == PageCipher::Checksum) return PageProtection::checksum();
  std::array<std::uint8_t, 32> key;
  key.fill(0x5C);
  return PageProtection::with_key(static_cast<std::uint8_t>(cipher), key).value();
}

void die(const char* what) {
  std::fprintf(stderr, "bench_pages: %s\n", what);
  std::exit(1);
}

void run_memcpy(std::size_t page_size, const AlignedBuffer& source, AlignedBuffer& target) {
  std::size_t pages = source.size() / page_size;
  std::uint64_t ops = 0;
  auto start = Clock::now();
  double seconds = 0;
  do {
    for (std::size_t i = 0; i < pages; ++i)
      std::memcpy(target.data() + i * page_size, source.data() + i * page_size, page_size);
    ops += pages;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (seconds < kMinSeconds);
  if (std::memcmp(source.data(), target.data(), source.size()) != 0) die("memcpy differs");
  report("copy " + std::to_string(page_size), "memcpy", page_size, ops, seconds);
}

void run_mode(PageCipher cipher, std::size_t page_size, const AlignedBuffer& plain) {
  PageProtection protection = make(cipher);
  std::size_t pages = plain.size() / page_size;
  AlignedBuffer work(plain.size());
  std::memcpy(work.data(), plain.data(), plain.size());
  auto page_at = [&](AlignedBuffer& b, std::size_t i) {
    return std::span<std::uint8_t>(b.data() + i * page_size, page_size);
  };

  // Seal: each pass seals every page of the set in place.
  std::uint64_t ops = 0;
  double seconds = 0;
  auto start = Clock::now();
  do {
    for (std::size_t i = 0; i < pages; ++i)
      if (!protection.seal_page(i + 1, page_at(work, i))) die("seal failed");
    ops += pages;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (seconds < kMinSeconds);
  report(std::string("seal ") + cipher_name(cipher), "deziro", page_size, ops, seconds);

  // Open: the set sealed once from the plaintext is restored before each
  // pass, outside the clock, since opening decrypts in place.
  std::memcpy(work.data(), plain.data(), plain.size());
  for (std::size_t i = 0; i < pages; ++i)
    if (!protection.seal_page(i + 1, page_at(work, i))) die("seal failed");
  AlignedBuffer sealed(plain.size());
  std::memcpy(sealed.data(), work.data(), work.size());
  ops = 0;
  seconds = 0;
  do {
    std::memcpy(work.data(), sealed.data(), sealed.size());
    auto pass_start = Clock::now();
    for (std::size_t i = 0; i < pages; ++i)
      if (!protection.open_page(i + 1, page_at(work, i))) die("open failed");
    seconds += std::chrono::duration<double>(Clock::now() - pass_start).count();
    ops += pages;
  } while (seconds < kMinSeconds);
  // The opened pages must be the plaintext again (the nonce field aside).
  for (std::size_t i = 0; i < pages; ++i)
    if (std::memcmp(work.data() + i * page_size + 24, plain.data() + i * page_size + 24,
                    page_size - 40) != 0)
      die("opened page differs from its plaintext");
  report(std::string("open ") + cipher_name(cipher), "deziro", page_size, ops, seconds);
}

}  // namespace

int main() {
  std::printf("{\"bench\":\"pages\",\"note\":\"automatic cipher here: %s\"}\n",
              cipher_name(automatic_page_cipher()));
  for (std::size_t page_size : {std::size_t{4096}, std::size_t{65536}}) {
    AlignedBuffer plain(kSetBytes);
    std::mt19937_64 rng(page_size);
    for (std::size_t i = 0; i < plain.size(); ++i)
      plain.data()[i] = static_cast<std::uint8_t>(rng());
    AlignedBuffer target(kSetBytes);
    run_memcpy(page_size, plain, target);
    for (PageCipher cipher :
         {PageCipher::Checksum, PageCipher::XChaCha20Poly1305, PageCipher::XAes256Gcm})
      run_mode(cipher, page_size, plain);
    run_memcpy(page_size, plain, target);
  }
  return 0;
}
