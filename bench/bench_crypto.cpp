// Costs of encryption: what a password adds to an open, and what sealing
// pages costs a commit beside the checksum mode.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crypto/keys.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using deziro::Credential;
using deziro::FileId;
using deziro::Key32;
using deziro::KeyBlock;

void report(const char* workload, const char* engine, long ops, Clock::duration elapsed,
            const std::string& extra = "") {
  double ns = std::chrono::duration<double, std::nano>(elapsed).count();
  std::printf(
      "{\"bench\":\"crypto\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%ld,\"ns_per_op\":%.1f%"
      "s}\n",
      workload, engine, ops, ns / static_cast<double>(ops), extra.c_str());
  std::fflush(stdout);
}

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bench_crypto: %s\n", what);
    std::exit(1);
  }
}

// Opening a key block: one Argon2id with the default parameters for a
// password, one XChaCha20-Poly1305 open for a key.
void bench_key_block_open() {
  FileId file_id{};
  Key32 data_key = deziro::keys::new_data_key("bench").value();
  struct Case {
    const char* workload;
    Credential secret;
    long ops;
  };
  std::string password = "correct horse battery staple";
  Case cases[] = {
      {"open_key_block_password_default_hashing",
       Credential::password(
           {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()}),
       10},
      {"open_key_block_key", Credential::key(Key32(data_key)), 20000},
  };
  for (auto& c : cases) {
    KeyBlock block =
        deziro::keys::wrap_data_key("bench", c.secret, deziro::PasswordHashing{}, data_key, file_id,
                                    deziro::PageCipher::XChaCha20Poly1305)
            .value();
    auto start = Clock::now();
    for (long i = 0; i < c.ops; ++i) {
      deziro::keys::KeyBlockOpener opener(c.secret, file_id, deziro::PageCipher::XChaCha20Poly1305);
      auto opened = opener.open(block);
      require(opened.has_value() && opened->has_value() && (*opened)->same_as(data_key),
              "the key block did not give back its data key");
    }
    report(c.workload, "deziro", c.ops, Clock::now() - start);
  }
}

}  // namespace

int main() {
  bench_key_block_open();
  return 0;
}
