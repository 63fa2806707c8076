#include "crypto/credential.hpp"

#include <ostream>
#include <utility>

namespace deziro {

Credential Credential::key(std::span<const std::uint8_t, kKeySize> bytes) {
  return key(Key32(bytes));
}

Credential Credential::key(Key32 key) {
  Credential credential;
  credential.kind_ = Kind::Key;
  credential.key_ = std::move(key);
  return credential;
}

Credential Credential::password(std::span<const std::uint8_t> bytes) {
  return password(SecretBytes(bytes));
}

Credential Credential::password(SecretBytes bytes) {
  Credential credential;
  credential.kind_ = Kind::Password;
  credential.password_ = std::move(bytes);
  return credential;
}

Credential::Credential(Credential&& other) noexcept
    : kind_(other.kind_), key_(std::move(other.key_)), password_(std::move(other.password_)) {
  other.kind_ = Kind::None;
}

Credential& Credential::operator=(Credential&& other) noexcept {
  if (this != &other) {
    kind_ = other.kind_;
    key_ = std::move(other.key_);
    password_ = std::move(other.password_);
    other.kind_ = Kind::None;
  }
  return *this;
}

void Credential::clear() {
  kind_ = Kind::None;
  key_.clear();
  password_.clear();
}

std::ostream& operator<<(std::ostream& out, const Credential& credential) {
  switch (credential.kind()) {
    case Credential::Kind::Key:
      return out << "Credential(key)";
    case Credential::Kind::Password:
      return out << "Credential(password)";
    case Credential::Kind::None:
      break;
  }
  return out << "Credential(none)";
}

}  // namespace deziro
