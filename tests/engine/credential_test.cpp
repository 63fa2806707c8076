// Key material must not outlive its owner, and must never reach text output.
#include "crypto/credential.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace deziro {
namespace DZ_FILE_LOCAL {

std::array<std::uint8_t, 32> pattern_key(std::uint8_t start) {
  std::array<std::uint8_t, 32> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(start + i);
  return bytes;
}

bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::span<const std::uint8_t> text_bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(SecretKey, moved_from_key_holds_only_zeros) {
  auto raw = pattern_key(1);
  Key32 source{std::span<const std::uint8_t, 32>(raw)};
  Key32 target(std::move(source));
  EXPECT_TRUE(all_zero(source.bytes()));
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), target.bytes().begin()));

  Key32 assigned;
  assigned = std::move(target);
  EXPECT_TRUE(all_zero(target.bytes()));
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), assigned.bytes().begin()));
}

TEST(SecretKey, destroyed_key_leaves_zeroed_storage) {
  auto raw = pattern_key(7);
  std::optional<Key32> holder(std::in_place, std::span<const std::uint8_t, 32>(raw));
  const std::uint8_t* storage = holder->data();
  holder.reset();
  // The optional's storage is still ours; the key's destructor must have
  // overwritten it.
  EXPECT_TRUE(all_zero({storage, 32}));
}

TEST(SecretKey, comparison_tells_keys_apart) {
  auto a = pattern_key(1);
  auto b = pattern_key(1);
  b[31] ^= 1;
  Key32 ka{std::span<const std::uint8_t, 32>(a)};
  Key32 kb{std::span<const std::uint8_t, 32>(b)};
  Key32 ka2{std::span<const std::uint8_t, 32>(a)};
  EXPECT_TRUE(ka.same_as(ka2));
  EXPECT_FALSE(ka.same_as(kb));
}

TEST(SecretBytes, moved_from_password_is_empty_and_target_keeps_bytes) {
  std::string text = "correct horse battery staple";
  SecretBytes source(text_bytes(text));
  const std::uint8_t* buffer = source.bytes().data();
  SecretBytes target(std::move(source));
  EXPECT_TRUE(source.empty());
  EXPECT_EQ(target.bytes().data(), buffer);  // handed over, not copied
  EXPECT_TRUE(std::equal(target.bytes().begin(), target.bytes().end(), text.begin()));
}

TEST(SecretBytes, replacing_a_password_releases_the_old_one) {
  std::string first = "first password";
  std::string second = "second";
  SecretBytes held(text_bytes(first));
  held = SecretBytes(text_bytes(second));
  ASSERT_EQ(held.size(), second.size());
  EXPECT_TRUE(std::equal(held.bytes().begin(), held.bytes().end(), second.begin()));
  SecretBytes copy;
  copy = held;
  EXPECT_TRUE(std::equal(copy.bytes().begin(), copy.bytes().end(), second.begin()));
  EXPECT_NE(copy.bytes().data(), held.bytes().data());
  held.clear();
  EXPECT_TRUE(held.empty());
}

TEST(Credential, kinds_hold_their_own_bytes) {
  Credential none;
  EXPECT_TRUE(none.is_none());
  EXPECT_TRUE(all_zero(none.key_bytes().bytes()));
  EXPECT_TRUE(none.password_bytes().empty());

  auto raw = pattern_key(3);
  Credential key = Credential::key(std::span<const std::uint8_t, 32>(raw));
  EXPECT_TRUE(key.is_key());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), key.key_bytes().bytes().begin()));
  EXPECT_TRUE(key.password_bytes().empty());

  std::string text = "hunter2";
  Credential password = Credential::password(text_bytes(text));
  EXPECT_TRUE(password.is_password());
  EXPECT_TRUE(all_zero(password.key_bytes().bytes()));
  EXPECT_EQ(std::string(password.password_bytes().begin(), password.password_bytes().end()), text);

  // Any length, the empty one included: refusing it is the option check's job.
  EXPECT_TRUE(Credential::password(std::span<const std::uint8_t>{}).is_password());
}

TEST(Credential, moved_from_credential_is_none_and_zeroed) {
  auto raw = pattern_key(9);
  Credential source = Credential::key(std::span<const std::uint8_t, 32>(raw));
  Credential target(std::move(source));
  EXPECT_TRUE(source.is_none());
  EXPECT_TRUE(all_zero(source.key_bytes().bytes()));
  EXPECT_TRUE(target.is_key());

  std::string text = "pass";
  Credential other = Credential::password(text_bytes(text));
  target = std::move(other);
  EXPECT_TRUE(other.is_none());
  EXPECT_TRUE(other.password_bytes().empty());
  // The replaced key is gone from the target, not merely hidden by the kind.
  EXPECT_TRUE(all_zero(target.key_bytes().bytes()));
  EXPECT_TRUE(target.is_password());
}

TEST(Credential, cleared_credential_forgets_its_secret) {
  auto raw = pattern_key(5);
  Credential key = Credential::key(std::span<const std::uint8_t, 32>(raw));
  key.clear();
  EXPECT_TRUE(key.is_none());
  EXPECT_TRUE(all_zero(key.key_bytes().bytes()));
}

TEST(Credential, text_output_never_shows_the_secret) {
  std::string text = "s3cr3t-password-text";
  auto raw = pattern_key('A');
  std::vector<std::string> shown = {
      ::testing::PrintToString(Credential::password(text_bytes(text))),
      ::testing::PrintToString(Credential::key(std::span<const std::uint8_t, 32>(raw))),
      ::testing::PrintToString(SecretBytes(text_bytes(text))),
      ::testing::PrintToString(Key32{std::span<const std::uint8_t, 32>(raw)}),
  };
  std::string key_text(raw.begin(), raw.end());
  for (const auto& out : shown) {
    EXPECT_EQ(out.find(text), std::string::npos) << out;
    EXPECT_EQ(out.find(key_text.substr(0, 8)), std::string::npos) << out;
    EXPECT_EQ(out.find("41"), std::string::npos) << out;  // 'A' as hex
  }
  EXPECT_EQ(shown[0], "Credential(password)");
  EXPECT_EQ(shown[1], "Credential(key)");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
