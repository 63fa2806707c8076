// Key blocks, subkeys and record MACs: what must open, and everything that
// must not.
#include "crypto/keys.hpp"

#include <argon2.h>
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "crypto/record_mac.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

// Small enough that each Argon2id run takes well under a millisecond.
constexpr PasswordHashing kCheapHashing{64, 1, 1};
const FileId kFileId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Key32 key_from(std::uint8_t seed) {
  std::array<std::uint8_t, 32> raw;
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(seed * 31 + i);
  return Key32(std::span<const std::uint8_t, 32>(raw));
}

Credential key_credential(std::uint8_t seed) { return Credential::key(key_from(seed)); }

Credential password_credential(const std::string& text) {
  return Credential::password(bytes_of(text));
}

KeyBlock wrap(const Credential& secret, const Key32& data_key, const FileId& file_id = kFileId,
              PageCipher cipher = PageCipher::XChaCha20Poly1305,
              PasswordHashing hashing = kCheapHashing) {
  auto block = keys::wrap_data_key("/tmp/x.db", secret, hashing, data_key, file_id, cipher);
  EXPECT_TRUE(block.has_value()) << block.error().to_string();
  return block.value_or(KeyBlock{});
}

bool opens(const Credential& secret, const KeyBlock& block, const FileId& file_id = kFileId,
           PageCipher cipher = PageCipher::XChaCha20Poly1305) {
  keys::KeyBlockOpener opener(secret, file_id, cipher);
  auto opened = opener.open(block);
  EXPECT_TRUE(opened.has_value()) << opened.error().to_string();
  return opened.has_value() && opened->has_value();
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// ---- Wrapping and unwrapping ----------------------------------------------

TEST(KeyBlock, key_recovers_the_data_key) {
  Key32 data_key = key_from(100);
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, data_key);
  auto opened =
      keys::unwrap_data_key("/tmp/x.db", secret, block, kFileId, PageCipher::XChaCha20Poly1305);
  ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
  EXPECT_TRUE(opened->same_as(data_key));
}

TEST(KeyBlock, password_recovers_the_data_key) {
  Key32 data_key = key_from(101);
  Credential secret = password_credential("open sesame");
  KeyBlock block = wrap(secret, data_key, kFileId, PageCipher::XAes256Gcm);
  auto opened = keys::unwrap_data_key("/tmp/x.db", secret, block, kFileId, PageCipher::XAes256Gcm);
  ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
  EXPECT_TRUE(opened->same_as(data_key));
}

TEST(KeyBlock, wrong_key_is_refused_with_wrong_key) {
  KeyBlock block = wrap(key_credential(1), key_from(100));
  auto opened = keys::unwrap_data_key("/tmp/x.db", key_credential(2), block, kFileId,
                                      PageCipher::XChaCha20Poly1305);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), ErrorKind::WrongKey);
  EXPECT_EQ(opened.error().to_string(), "the key or password does not open `/tmp/x.db`");
}

TEST(KeyBlock, missing_credential_is_refused_with_key_required) {
  KeyBlock block = wrap(key_credential(1), key_from(100));
  auto opened = keys::unwrap_data_key("/tmp/x.db", Credential(), block, kFileId,
                                      PageCipher::XChaCha20Poly1305);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), ErrorKind::KeyRequired);
  EXPECT_EQ(opened.error().to_string(),
            "`/tmp/x.db` is encrypted; open it with its key or password");
}

TEST(KeyBlock, key_differing_in_one_bit_is_refused) {
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, key_from(100));
  for (std::size_t bit = 0; bit < 256; bit += 7) {
    Key32 near = key_from(1);
    near.data()[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(opens(Credential::key(std::move(near)), block)) << "bit " << bit;
  }
}

TEST(KeyBlock, password_off_by_one_character_is_refused) {
  KeyBlock block = wrap(password_credential("correct horse"), key_from(100));
  EXPECT_TRUE(opens(password_credential("correct horse"), block));
  for (const char* near :
       {"correct hors", "correct horsee", "Correct horse", "correct horse ", "correct_horse", ""}) {
    EXPECT_FALSE(opens(password_credential(near), block)) << near;
  }
}

TEST(KeyBlock, block_of_another_file_is_refused) {
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, key_from(100));
  FileId other = kFileId;
  other[15] ^= 0x80;
  EXPECT_FALSE(opens(secret, block, other));

  Credential password = password_credential("pw");
  KeyBlock password_block = wrap(password, key_from(100));
  EXPECT_FALSE(opens(password, password_block, other));
}

TEST(KeyBlock, block_under_another_cipher_is_refused) {
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, key_from(100), kFileId, PageCipher::XChaCha20Poly1305);
  EXPECT_FALSE(opens(secret, block, kFileId, PageCipher::XAes256Gcm));
  EXPECT_FALSE(opens(secret, block, kFileId, PageCipher::Checksum));
}

TEST(KeyBlock, key_does_not_open_a_password_block_nor_the_reverse) {
  Key32 data_key = key_from(100);
  // A password whose bytes are exactly the key's bytes still opens nothing.
  Key32 raw = key_from(1);
  std::string same_bytes(raw.bytes().begin(), raw.bytes().end());
  KeyBlock key_block = wrap(Credential::key(key_from(1)), data_key);
  KeyBlock password_block = wrap(password_credential(same_bytes), data_key);
  EXPECT_FALSE(opens(password_credential(same_bytes), key_block));
  EXPECT_FALSE(opens(Credential::key(key_from(1)), password_block));
}

TEST(KeyBlock, every_flipped_bit_of_a_key_block_is_refused) {
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, key_from(100));
  for (std::size_t bit = 0; bit < kKeyBlockSize * 8; ++bit) {
    KeyBlock tampered = block;
    tampered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(opens(secret, tampered)) << "bit " << bit;
  }
}

TEST(KeyBlock, flipped_bits_of_a_password_block_are_refused) {
  Credential secret = password_credential("pw");
  KeyBlock block = wrap(secret, key_from(100));
  // Every bit outside the parameter fields (flips there are covered below,
  // since some would ask for gigabytes of memory).
  for (std::size_t bit = 0; bit < kKeyBlockSize * 8; ++bit) {
    std::size_t byte = bit / 8;
    if (byte >= 4 && byte < 16) continue;
    KeyBlock tampered = block;
    tampered[byte] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(opens(secret, tampered)) << "bit " << bit;
  }
  // Small changes of each parameter.
  for (std::size_t byte : {4u, 8u, 12u}) {
    for (int bit = 0; bit < 3; ++bit) {
      KeyBlock tampered = block;
      tampered[byte] ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_FALSE(opens(secret, tampered)) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(KeyBlock, all_zero_block_of_a_plain_file_opens_nothing) {
  EXPECT_FALSE(opens(key_credential(0), KeyBlock{}));
  EXPECT_FALSE(opens(password_credential(""), KeyBlock{}));
}

TEST(KeyBlock, stored_parameters_beyond_the_limits_are_refused_unhashed) {
  Credential secret = password_credential("pw");
  KeyBlock block = wrap(secret, key_from(100));
  // 2^31 KiB would take two terabytes if the opener believed it.
  block[4] = 0;
  block[5] = 0;
  block[6] = 0;
  block[7] = 0x80;
  EXPECT_FALSE(keys::read_key_block_header(block).has_value());
  EXPECT_FALSE(opens(secret, block));
}

TEST(KeyBlock, password_parameters_round_trip) {
  PasswordHashing hashing{256, 3, 4};
  Credential secret = password_credential("pw");
  Key32 data_key = key_from(100);
  KeyBlock block = wrap(secret, data_key, kFileId, PageCipher::XChaCha20Poly1305, hashing);
  auto header = keys::read_key_block_header(block);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->kind, keys::BlockKind::Password);
  EXPECT_EQ(header->hashing, hashing);
  // The opener hashes with the stored parameters, whatever its own options.
  EXPECT_TRUE(opens(secret, block));

  auto key_header = keys::read_key_block_header(wrap(key_credential(1), data_key));
  ASSERT_TRUE(key_header.has_value());
  EXPECT_EQ(key_header->kind, keys::BlockKind::Key);
  EXPECT_EQ(key_header->hashing, (PasswordHashing{0, 0, 0}));
}

TEST(KeyBlock, each_wrap_draws_a_fresh_salt_and_nonce) {
  Credential secret = password_credential("pw");
  Key32 data_key = key_from(100);
  KeyBlock first = wrap(secret, data_key);
  KeyBlock second = wrap(secret, data_key);
  EXPECT_NE(first, second);
  EXPECT_NE(keys::read_key_block_header(first)->salt, keys::read_key_block_header(second)->salt);
}

TEST(KeyBlock, wrapping_without_a_secret_is_refused) {
  auto block = keys::wrap_data_key("/tmp/x.db", Credential(), kCheapHashing, key_from(100), kFileId,
                                   PageCipher::XChaCha20Poly1305);
  ASSERT_FALSE(block.has_value());
  EXPECT_EQ(block.error().kind(), ErrorKind::Internal);
  EXPECT_EQ(block.error().message(), "the secret does not match its kind");
}

TEST(KeyBlock, wrapping_with_parameters_beyond_the_limits_is_refused) {
  for (PasswordHashing hashing :
       {PasswordHashing{64, 1, 0}, PasswordHashing{64, 0, 1}, PasswordHashing{64, 1025, 1},
        PasswordHashing{31, 1, 4}, PasswordHashing{1048577, 1, 1}, PasswordHashing{64, 1, 65}}) {
    auto block = keys::wrap_data_key("/tmp/x.db", password_credential("pw"), hashing, key_from(100),
                                     kFileId, PageCipher::XChaCha20Poly1305);
    ASSERT_FALSE(block.has_value());
    EXPECT_EQ(block.error().message(), "the data key cannot be wrapped");
  }
}

TEST(KeyBlock, data_key_never_appears_in_the_block) {
  Key32 data_key = key_from(100);
  for (const Credential& secret : {key_credential(1), password_credential("pw")}) {
    KeyBlock block = wrap(secret, data_key);
    std::string haystack(block.begin(), block.end());
    std::string needle(data_key.bytes().begin(), data_key.bytes().begin() + 8);
    EXPECT_EQ(haystack.find(needle), std::string::npos);
  }
}

TEST(ProveCredential, plain_file_refuses_any_secret) {
  for (const Credential& secret : {key_credential(1), password_credential("pw")}) {
    auto proved = keys::prove_credential("/tmp/x.db", secret, PageCipher::Checksum, kFileId,
                                         KeyBlock{}, Key32());
    ASSERT_FALSE(proved.has_value());
    EXPECT_EQ(proved.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(proved.error().to_string(),
              "`/tmp/x.db` is not encrypted, so it cannot be opened with a key");
  }
  EXPECT_TRUE(keys::prove_credential("/tmp/x.db", Credential(), PageCipher::Checksum, kFileId,
                                     KeyBlock{}, Key32()));
}

TEST(ProveCredential, encrypted_file_needs_the_secret_of_its_own_data_key) {
  Key32 data_key = key_from(100);
  Credential secret = key_credential(1);
  KeyBlock block = wrap(secret, data_key);
  const auto cipher = PageCipher::XChaCha20Poly1305;
  EXPECT_TRUE(keys::prove_credential("/tmp/x.db", secret, cipher, kFileId, block, data_key));
  EXPECT_EQ(keys::prove_credential("/tmp/x.db", Credential(), cipher, kFileId, block, data_key)
                .error()
                .kind(),
            ErrorKind::KeyRequired);
  EXPECT_EQ(keys::prove_credential("/tmp/x.db", key_credential(2), cipher, kFileId, block, data_key)
                .error()
                .kind(),
            ErrorKind::WrongKey);
  // A block that opens, but to another data key, is not this file's.
  EXPECT_EQ(keys::prove_credential("/tmp/x.db", secret, cipher, kFileId, block, key_from(101))
                .error()
                .kind(),
            ErrorKind::WrongKey);
}

TEST(DataKey, fresh_data_keys_differ) {
  auto a = keys::new_data_key("/tmp/x.db");
  auto b = keys::new_data_key("/tmp/x.db");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->same_as(*b));
}

// ---- Argon2id -------------------------------------------------------------

TEST(Argon2id, library_matches_the_published_vector) {
  // The Argon2id test vector of RFC 9106, section 5.3, through the library
  // this build links.
  std::vector<std::uint8_t> password(32, 0x01), salt(16, 0x02), secret(8, 0x03), ad(12, 0x04);
  std::array<std::uint8_t, 32> out{};
  argon2_context context{};
  context.out = out.data();
  context.outlen = out.size();
  context.pwd = password.data();
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt.data();
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.secret = secret.data();
  context.secretlen = static_cast<std::uint32_t>(secret.size());
  context.ad = ad.data();
  context.adlen = static_cast<std::uint32_t>(ad.size());
  context.t_cost = 3;
  context.m_cost = 32;
  context.lanes = 4;
  context.threads = 4;
  context.version = ARGON2_VERSION_13;
  ASSERT_EQ(argon2_ctx(&context, Argon2_id), ARGON2_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()),
            from_hex("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"));
}

TEST(Argon2id, password_hash_agrees_with_an_independent_implementation) {
  // libsodium carries its own Argon2id (one lane); both must agree.
  ASSERT_EQ(sodium_init() < 0, false);
  std::string password = "pa55word";
  std::array<std::uint8_t, 16> salt{};
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(0xA0 + i);
  for (PasswordHashing hashing : {PasswordHashing{64, 1, 1}, PasswordHashing{1024, 3, 1}}) {
    auto ours = keys::hash_password(bytes_of(password), salt, hashing);
    ASSERT_TRUE(ours.has_value());
    std::array<std::uint8_t, 32> theirs{};
    ASSERT_EQ(crypto_pwhash(theirs.data(), theirs.size(), password.data(), password.size(),
                            salt.data(), hashing.iterations, std::size_t{hashing.memory_kib} * 1024,
                            crypto_pwhash_ALG_ARGON2ID13),
              0);
    EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), ours->bytes().begin()));
  }
}

TEST(Argon2id, every_parameter_changes_the_key) {
  std::array<std::uint8_t, 16> salt{};
  auto base = keys::hash_password(bytes_of(std::string("pw")), salt, {64, 1, 1});
  ASSERT_TRUE(base.has_value());
  for (PasswordHashing other :
       {PasswordHashing{72, 1, 1}, PasswordHashing{64, 2, 1}, PasswordHashing{64, 1, 2}}) {
    auto changed = keys::hash_password(bytes_of(std::string("pw")), salt, other);
    ASSERT_TRUE(changed.has_value());
    EXPECT_FALSE(changed->same_as(*base));
  }
}

// ---- BLAKE2b subkeys and record MACs --------------------------------------

// BLAKE2b through OpenSSL's separate implementation, with key, salt and
// personalisation.
std::vector<std::uint8_t> openssl_blake2b(std::span<const std::uint8_t> key,
                                          std::span<const std::uint8_t> salt,
                                          std::span<const std::uint8_t> personal,
                                          std::span<const std::uint8_t> message, std::size_t size) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "BLAKE2BMAC", nullptr);
  EXPECT_NE(mac, nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  std::vector<OSSL_PARAM> params;
  params.push_back(OSSL_PARAM_construct_octet_string(
      OSSL_MAC_PARAM_CUSTOM, const_cast<std::uint8_t*>(personal.data()), personal.size()));
  if (!salt.empty()) {
    params.push_back(OSSL_PARAM_construct_octet_string(
        OSSL_MAC_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()));
  }
  params.push_back(OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &size));
  params.push_back(OSSL_PARAM_construct_end());
  EXPECT_EQ(EVP_MAC_init(ctx, key.data(), key.size(), params.data()), 1);
  if (!message.empty()) {
    EXPECT_EQ(EVP_MAC_update(ctx, message.data(), message.size()), 1);
  }
  std::vector<std::uint8_t> out(size);
  std::size_t written = 0;
  EXPECT_EQ(EVP_MAC_final(ctx, out.data(), &written, out.size()), 1);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  out.resize(written);
  return out;
}

TEST(Blake2b, library_matches_the_published_vector) {
  // RFC 7693, Appendix A: BLAKE2b-512("abc").
  std::array<std::uint8_t, 64> out{};
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  crypto_generichash_blake2b(out.data(), out.size(), abc, sizeof abc, nullptr, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()),
            from_hex("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                     "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"));
}

TEST(Blake2b, subkey_agrees_with_an_independent_implementation) {
  Key32 data_key = key_from(100);
  Key32 subkey = keys::record_mac_key(data_key);
  auto theirs = openssl_blake2b(data_key.bytes(), {}, keys::kRecordMacLabel, {}, 32);
  EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), subkey.bytes().begin()));
}

TEST(Blake2b, subkeys_differ_by_label_and_by_data_key) {
  Key32 data_key = key_from(100);
  keys::SubkeyLabel other_label = keys::kRecordMacLabel;
  other_label[0] ^= 1;
  Key32 a = keys::derive_subkey(data_key, keys::kRecordMacLabel);
  EXPECT_FALSE(a.same_as(keys::derive_subkey(data_key, other_label)));
  EXPECT_FALSE(a.same_as(keys::derive_subkey(key_from(101), keys::kRecordMacLabel)));
  EXPECT_FALSE(a.same_as(data_key));
}

TEST(RecordMac, agrees_with_an_independent_implementation) {
  Key32 mac_key = keys::record_mac_key(key_from(100));
  std::vector<std::uint8_t> record(480);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7);
  for (std::uint8_t slot = 0; slot < 3; ++slot) {
    auto state = record::mac_state(mac_key, kFileId, slot);
    state.update(std::span(record).first(100));
    state.update(std::span(record).subspan(100));
    record::Mac ours = state.finish();
    std::vector<std::uint8_t> personal = {'d', 'e', 'z', 'i', 'r', 'o', '.', 'm',
                                          'a', 'c', '.', 's', 'l', 'o', 't', slot};
    auto theirs = openssl_blake2b(mac_key.bytes(), kFileId, personal, record, 16);
    EXPECT_EQ(std::vector<std::uint8_t>(ours.begin(), ours.end()), theirs);
  }
}

TEST(RecordMac, record_moved_to_another_slot_or_file_fails) {
  Key32 mac_key = keys::record_mac_key(key_from(100));
  std::vector<std::uint8_t> record(480, 0x5A);
  record::Mac stored = record::record_mac(mac_key, kFileId, 1, record);
  auto check = [&](const Key32& key, const FileId& file_id, std::uint8_t slot) {
    return record::record_mac_holds(key, file_id, slot, record, stored);
  };
  EXPECT_TRUE(check(mac_key, kFileId, 1));
  EXPECT_FALSE(check(mac_key, kFileId, 0));
  EXPECT_FALSE(check(mac_key, kFileId, 2));
  FileId other = kFileId;
  other[0] ^= 1;
  EXPECT_FALSE(check(mac_key, other, 1));
  EXPECT_FALSE(check(keys::record_mac_key(key_from(101)), kFileId, 1));
  record[479] ^= 1;
  EXPECT_FALSE(check(mac_key, kFileId, 1));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
