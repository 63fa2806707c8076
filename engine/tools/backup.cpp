#include "tools/backup.hpp"

#include <optional>
#include <vector>

#include "open_options.hpp"
#include "schema/declare.hpp"
#include "tools/target_file.hpp"
#include "tools/tree_builder.hpp"
#include "tools/tree_list.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::backup {
namespace {

constexpr std::string_view kWhat = "a backup";

// The static fields and key material of the copy.
Result<NewFileSpec> copy_spec(Instance& source, const ReadTxn& snapshot, const std::string& path,
                              const OpenOptions& secret) {
  NewFileSpec spec;
  spec.fields.format_version = source.format_version();
  spec.fields.page_size = source.page_size();
  spec.fields.file_id = source.file_id();
  if (secret.credential.is_none()) {
    // The copy opens with whatever opens the source.
    spec.fields.cipher = source.cipher();
    if (const FileKeys* keys = source.file_keys())
      spec.keys = FileKeyMaterial{*keys, snapshot.key_block()};
    return spec;
  }
  spec.fields.cipher = source.encrypted() ? source.cipher() : keys::new_file_cipher(secret);
  spec.keys = DZ_TRY(keys::new_file_keys(path, secret, spec.fields.file_id, spec.fields.cipher));
  return spec;
}

// Copies one tree of the snapshot into `txn`, laid out bottom-up in key
// order; adds its key and value bytes to `copied`.
Status copy_tree(ReadTxn& snapshot, WriteTxn& txn, ByteView tree, BackupFigures& figures,
                 std::uint64_t& copied) {
  TreeEntry* entry = DZ_TRY(txn.tree_entry(tree, true));
  const WriteContext cx = txn.write_context(*entry);
  repack::TreeBuilder builder(cx);
  auto cursor = DZ_TRY(snapshot.range(tree, KeyBound::unbounded(), KeyBound::unbounded(), false));
  ByteView key, value;
  while (cursor && DZ_TRY(cursor->next(key, value))) {
    DZ_CHECK(builder.add(key, value));
    copied += key.size() + value.size();
  }
  // An empty tree is created empty in the copy too.
  entry->root = TreeRoot::on_disk(DZ_TRY(builder.finish()));
  entry->entry_count = builder.entries();
  entry->changed = true;
  figures.entries += builder.entries();
  ++figures.trees;
  return ok();
}

// Copies every tree of the snapshot into the new file. Leaves are written as
// they fill, so nothing waits in memory; between trees the copy commits
// (deferred) once `commit_bytes` were copied since its last commit, and the
// last commit is durable.
Status copy_trees(ReadTxn& snapshot, const std::shared_ptr<Instance>& target,
                  std::uint64_t commit_bytes, BackupFigures& figures) {
  auto names = DZ_TRY(repack::list_trees(snapshot.source(), snapshot.catalog_root()));
  auto txn = DZ_TRY(WriteTxn::begin(target));
  std::uint64_t copied = 0;
  for (const std::string& name : names) {
    if (copied >= commit_bytes) {
      DZ_CHECK(txn->commit_deferred());
      txn = DZ_TRY(WriteTxn::begin(target));
      copied = 0;
    }
    if (auto status = copy_tree(snapshot, *txn, bytes_of(name), figures, copied); !status) {
      txn->mark_failed();
      return status;
    }
  }
  return txn->commit();
}

}  // namespace

Result<BackupFigures> backup(const std::shared_ptr<Instance>& source, const std::string& path,
                             const BackupOptions& options) {
  OpenOptions secret;
  secret.credential = options.credential;
  secret.password_hashing = options.password_hashing;
  DZ_CHECK(declare::validate_options(secret));

  ReadTxn snapshot = DZ_TRY(ReadTxn::begin(source));
  BackupFigures figures;
  figures.commit_id = snapshot.txn_id();
  DZ_CHECK(target_file::refuse_existing(path, kWhat));
  NewFileSpec spec = DZ_TRY(copy_spec(*source, snapshot, path, secret));
  TargetFile target = DZ_TRY(TargetFile::create(path, spec));
  DZ_CHECK(copy_trees(snapshot, target.instance(), options.COMMIT_BYTES, figures));
  DZ_CHECK(target.close());
  figures.bytes = DZ_TRY(target.size());
  DZ_CHECK(target.place(kWhat));
  return figures;
}

}  // namespace deziro::backup
