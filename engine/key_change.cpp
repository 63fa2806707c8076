#include "key_change.hpp"

#include "crypto/file_keys.hpp"
#include "text_format.hpp"
#include "txn/head.hpp"
#include "txn/write_txn.hpp"

namespace deziro::keys {

namespace {

// Whether a slot of the head on disk may still hold a key block other than
// `current`. A slot that fails its check counts, since its bytes may: it is
// the first one the next commit overwrites.
Result<bool> stale_block_remains(Instance& instance, const KeyBlock& current) {
  auto head = DZ_TRY(head::read_head(instance.storage()));
  for (const SlotContent& slot : head::parse_slots(head, instance.cipher(), instance.page_size())) {
    if (slot.state == SlotContent::State::Invalid) return true;
    if (slot.valid() && slot.record.key_block != current) return true;
  }
  return false;
}

}  // namespace

Status set_secret(const std::shared_ptr<Instance>& instance,
                  std::shared_ptr<const ResolvedSchema> schema, const Credential& secret) {
  const FileKeys* keys = instance->file_keys();
  if (!instance->encrypted() || keys == nullptr) {
    return fail(Error::invalid_argument(format_text(
        "`{}` is not encrypted; copying it into an encrypted database is the way to encrypt it",
        instance->path())));
  }
  // An empty password could never open the file again: opens refuse it.
  if (secret.is_password() && secret.password_bytes().empty()) {
    return fail(Error::invalid_argument("the password is empty"));
  }
  KeyBlock block =
      DZ_TRY(wrap_data_key(instance->path(), secret, instance->settings().password_hashing,
                           keys->data_key, instance->file_id(), instance->cipher()));
  {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    txn->replace_key_block(block);
    DZ_CHECK(txn->commit());
  }
  // Each commit copies the published block into a slot other than the
  // published one, so the older slots still hold the old block until later
  // commits overwrite them. The head is read while holding the writer, so
  // that no commit is half written when it is looked at.
  for (int extra = 0;; ++extra) {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    if (!DZ_TRY(stale_block_remains(*instance, block))) return ok();
    if (extra == kMaxExtraKeyCommits) {
      return fail(Error::internal("the old key block outlived the commits meant to replace it"));
    }
    DZ_CHECK(txn->commit());
  }
}

}  // namespace deziro::keys
