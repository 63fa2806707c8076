// Costs of encryption: what a key or password adds to an open, and what
// sealing pages costs a commit beside the checksum mode.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "crypto/keys.hpp"
#include "database.hpp"
#include "scratch.hpp"
#include "storage/storage.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace {

// Where the files of the open workloads go.
std::string g_folder;

using Clock = std::chrono::steady_clock;
using namespace deziro;

void report(const char* workload, long ops, Clock::duration elapsed,
            const std::string& extra = "") {
  double ns = std::chrono::duration<double, std::nano>(elapsed).count();
  std::printf(
      "{\"bench\":\"crypto\",\"workload\":\"%s\",\"engine\":\"deziro\",\"ops\":%ld,"
      "\"ns_per_op\":%.1f%s}\n",
      workload, ops, ns / static_cast<double>(ops), extra.c_str());
  std::fflush(stdout);
}

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bench_crypto: %s\n", what);
    std::exit(1);
  }
}

template <typename T>
T need(Result<T> result, const char* what) {
  if (!result) {
    std::fprintf(stderr, "bench_crypto: %s: %s\n", what, result.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*result);
}

void need(Status status, const char* what) {
  if (!status) {
    std::fprintf(stderr, "bench_crypto: %s: %s\n", what, status.error().to_string().c_str());
    std::exit(1);
  }
}

Credential bench_key() {
  std::array<std::uint8_t, 32> raw;
  raw.fill(0x42);
  return Credential::key(std::span<const std::uint8_t, 32>(raw));
}

Credential bench_password() {
  std::string text = "correct horse battery staple";
  return Credential::password(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Opening a file on disk: a password costs one Argon2id with the default
// parameters (19456 KiB, 2 iterations, one lane); a key costs one
// XChaCha20-Poly1305 open of the key block.
void bench_open() {
  struct Case {
    const char* workload;
    Credential secret;
    long ops;
  };
  Case cases[] = {
      {"open_plain", Credential(), 200},
      {"open_key", bench_key(), 200},
      {"open_password_default_hashing", bench_password(), 20},
  };
  for (auto& c : cases) {
    std::string path = g_folder + "/" + c.workload + ".db";
    OpenOptions options;
    options.credential = c.secret;
    {
      auto db = need(Database::open(path, options), "creating the file");
      auto w = need(WriteTxn::begin(db.instance), "beginning a write");
      need(w->put(bytes_of("t"), bytes_of("k"), bytes_of("v")), "a put");
      need(w->commit(), "a commit");
    }
    auto start = Clock::now();
    for (long i = 0; i < c.ops; ++i) {
      auto db = need(Database::open(path, options), "opening the file");
      require(db.instance->encrypted() == !c.secret.is_none(), "the file has the wrong protection");
    }
    report(c.workload, c.ops, Clock::now() - start);
    std::filesystem::remove(path);
  }
}

// A disk in memory whose sync costs nothing, so that a commit's figure is
// the engine's and the protection's, not the drive's.
class MemoryDisk final : public Storage {
 public:
  MemoryDisk(std::string path, std::vector<std::uint8_t> image)
      : path_(std::move(path)), bytes_(std::move(image)) {}
  const std::string& path() const override { return path_; }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    if (offset >= bytes_.size()) return std::size_t{0};
    std::size_t n = std::min<std::uint64_t>(out.size(), bytes_.size() - offset);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    return n;
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    if (offset + data.size() > bytes_.size()) bytes_.resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return ok();
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override {
    for (ConstByteSpan buffer : buffers) {
      DZ_CHECK(write_at(offset, buffer));
      offset += buffer.size();
    }
    return ok();
  }
  Status sync() override { return ok(); }
  Result<std::uint64_t> len_or_error() override { return bytes_.size(); }
  Status set_len(std::uint64_t length) override {
    bytes_.resize(length);
    return ok();
  }

 private:
  std::string path_;
  std::vector<std::uint8_t> bytes_;
};

// Durable commits of 64 entries of 200 bytes each into an in-memory disk,
// with a sync that costs nothing.
void bench_commits() {
  struct Case {
    const char* workload;
    bool encrypted;
    NewFileCipher cipher;
  };
  const Case cases[] = {
      {"commit_checksum", false, NewFileCipher::Automatic},
      {"commit_xchacha20poly1305", true, NewFileCipher::XChaCha20Poly1305},
      {"commit_xaes256gcm", true, NewFileCipher::Xaes256Gcm},
  };
  constexpr long kCommits = 1000;
  constexpr int kPutsPerCommit = 64;
  const std::string value(200, 'v');
  for (const Case& c : cases) {
    OpenOptions options;
    if (c.encrypted) options.credential = bench_key();
    options.new_file_cipher = c.cipher;
    auto page = need(Database::new_first_page(options, "/mem/bench.db"), "the first page");
    auto storage = std::make_unique<MemoryDisk>("/mem/bench.db", std::move(page));
    auto instance = need(Database::open_existing(std::move(storage), options), "opening");
    std::uint64_t row = 0;
    auto start = Clock::now();
    for (long i = 0; i < kCommits; ++i) {
      auto w = need(WriteTxn::begin(instance), "beginning a write");
      for (int p = 0; p < kPutsPerCommit; ++p, ++row) {
        // Spread over the key space so that each commit touches many leaves.
        std::uint64_t k = (row * 0x9E3779B97F4A7C15ull) >> 40;
        need(w->put(bytes_of("t"), bytes_of("key-" + std::to_string(k)), bytes_of(value)), "a put");
      }
      need(w->commit(), "a commit");
    }
    auto elapsed = Clock::now() - start;
    auto r = need(ReadTxn::begin(instance), "a snapshot");
    auto entries = need(r.tree_len(bytes_of("t")), "the tree length");
    require(entries > 0 && entries <= row, "the commits did not store their rows");
    report(c.workload, kCommits, elapsed,
           ",\"puts_per_commit\":" + std::to_string(kPutsPerCommit) +
               ",\"entries\":" + std::to_string(entries) +
               ",\"pages\":" + std::to_string(instance->published().record.page_count));
  }
}

// The key block alone, without any file: the floor under an open.
void bench_key_block_open() {
  FileId file_id{};
  Key32 data_key = keys::new_data_key("bench").value();
  KeyBlock block = keys::wrap_data_key("bench", bench_key(), PasswordHashing{}, data_key, file_id,
                                       PageCipher::XChaCha20Poly1305)
                       .value();
  constexpr long kOps = 20000;
  Credential secret = bench_key();
  auto start = Clock::now();
  for (long i = 0; i < kOps; ++i) {
    keys::KeyBlockOpener opener(secret, file_id, PageCipher::XChaCha20Poly1305);
    auto opened = opener.open(block);
    require(opened.has_value() && opened->has_value() && (*opened)->same_as(data_key),
            "the key block did not give back its data key");
  }
  report("open_key_block_key", kOps, Clock::now() - start);
}

}  // namespace

int main() {
  g_folder = bench::scratch_folder("crypto");
  bench_key_block_open();
  bench_open();
  bench_commits();
  return 0;
}
