#include "open_options.hpp"

namespace deziro::keys {

PageCipher new_file_cipher(const OpenOptions& options) {
  if (options.credential.is_none()) return PageCipher::Checksum;
  switch (options.new_file_cipher) {
    case NewFileCipher::XChaCha20Poly1305:
      return PageCipher::XChaCha20Poly1305;
    case NewFileCipher::Xaes256Gcm:
      return PageCipher::XAes256Gcm;
    case NewFileCipher::Automatic:
      break;
  }
  return automatic_page_cipher();
}

Result<FileKeyMaterial> new_file_keys(std::string_view path, const OpenOptions& options,
                                      const FileId& file_id, PageCipher cipher,
                                      PasswordKeys* password_keys) {
  Key32 data_key = DZ_TRY(new_data_key(path));
  KeyBlock block = DZ_TRY(wrap_data_key(path, options.credential, options.password_hashing,
                                        data_key, file_id, cipher, password_keys));
  return FileKeyMaterial{FileKeys::from_data_key(std::move(data_key)), block};
}

}  // namespace deziro::keys
