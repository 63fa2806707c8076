#include "tools/backup.hpp"

#include <optional>
#include <utility>
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

// Copies the snapshot's trees into the new file, each laid out bottom-up in
// key order. Once `commit_bytes` of keys and values were copied since the
// last commit, the copy commits (deferred), in the middle of a tree if need
// be, so that what a transaction holds stays bounded; the last commit is
// durable.
class TreeCopier {
 public:
  TreeCopier(ReadTxn& snapshot, std::shared_ptr<Instance> target, std::uint64_t commit_bytes,
             BackupFigures& figures)
      : snapshot_(snapshot),
        target_(std::move(target)),
        commit_bytes_(commit_bytes),
        figures_(figures) {}

  Status copy_all() {
    auto names = DZ_TRY(repack::list_trees(snapshot_.source(), snapshot_.catalog_root()));
    txn_ = DZ_TRY(WriteTxn::begin(target_));
    for (const std::string& name : names) {
      if (auto copied = copy_tree(bytes_of(name)); !copied) {
        // A commit or begin that failed in the middle of a tree left no
        // transaction; one still open publishes nothing.
        if (txn_) txn_->mark_failed();
        return copied;
      }
    }
    return std::exchange(txn_, nullptr)->commit();
  }

 private:
  Status copy_tree(ByteView tree) {
    TreeEntry* entry = DZ_TRY(txn_->tree_entry(tree, true));
    // Re-made for each transaction; the builder is pointed at the new one.
    std::optional<WriteContext> cx(txn_->write_context(*entry));
    repack::TreeBuilder builder(*cx);
    auto cursor =
        DZ_TRY(snapshot_.range(tree, KeyBound::unbounded(), KeyBound::unbounded(), false));
    ByteView key, value;
    while (cursor && DZ_TRY(cursor->next(key, value))) {
      DZ_CHECK(builder.add(key, value));
      copied_ += key.size() + value.size();
      if (copied_ < commit_bytes_) continue;
      // The entries so far become a whole tree of this commit.
      DZ_CHECK(set_root(*entry, builder.checkpoint(), builder.entries()));
      DZ_CHECK(std::exchange(txn_, nullptr)->commit_deferred());
      txn_ = DZ_TRY(WriteTxn::begin(target_));
      entry = DZ_TRY(txn_->tree_entry(tree, true));
      cx.emplace(txn_->write_context(*entry));
      builder.resume(*cx);
      copied_ = 0;
    }
    // An empty tree is created empty in the copy too.
    DZ_CHECK(set_root(*entry, builder.finish(), builder.entries()));
    figures_.entries += builder.entries();
    ++figures_.trees;
    return ok();
  }

  static Status set_root(TreeEntry& entry, Result<ChildPointer> root, std::uint64_t entries) {
    if (!root) return fail(std::move(root).error());
    entry.root = TreeRoot::on_disk(*root);
    entry.entry_count = entries;
    entry.changed = true;
    return ok();
  }

  ReadTxn& snapshot_;
  std::shared_ptr<Instance> target_;
  std::uint64_t commit_bytes_;
  BackupFigures& figures_;
  std::unique_ptr<WriteTxn> txn_;
  std::uint64_t copied_ = 0;
};

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
  DZ_CHECK(TreeCopier(snapshot, target.instance(), options.COMMIT_BYTES, figures).copy_all());
  DZ_CHECK(target.close());
  figures.bytes = DZ_TRY(target.size());
  DZ_CHECK(target.place(kWhat));
  return figures;
}

}  // namespace deziro::backup
