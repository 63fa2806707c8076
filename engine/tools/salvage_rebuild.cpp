#include "tools/salvage_rebuild.hpp"

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "btree/pager/pager.hpp"
#include "format/bytes.hpp"
#include "format/object/codec.hpp"
#include "format/object/names.hpp"
#include "tools/salvage_objects.hpp"
#include "tools/tree_builder.hpp"
#include "txn/catalog.hpp"
#include "txn/write_txn.hpp"

namespace deziro::salvage {
namespace {

using CatalogMap = std::map<std::string, TreeDescriptor>;

// Where the fields of a tree descriptor end.
constexpr std::size_t kRootEnd = 40;
constexpr std::size_t kCountEnd = 48;

// The named trees of a catalog, and the names whose entries break the keep
// rules and could not be made good, each with the entry count its
// descriptor still states (0 when it states none).
struct RecoveredCatalog {
  CatalogMap trees;
  std::map<std::string, std::uint64_t> lost;
};

// Takes the catalog entries as the walks and the gap filling deliver them;
// a later entry of a name replaces the earlier one. An entry is kept when
// it names a tree the way the file would: a UTF-8 name and a sound
// descriptor of a named tree. One whose UTF-8 name still tells the tree but
// whose descriptor is damaged (a reserved tree id, a root and a count that
// disagree, a value of another length) is kept when the root it holds reads
// as the root of a named tree: that page tells the tree id, and the tree is
// copied from it. Anything else is lost, its tree with it.
class CatalogReader {
 public:
  explicit CatalogReader(NodeSource& source) : source_(source) {}

  Status visit(ByteView name, ByteView value) {
    std::string key = to_string(name);
    if (auto descriptor = usable_descriptor(name, value)) {
      catalog_.lost.erase(key);
      catalog_.trees.insert_or_assign(std::move(key), *descriptor);
    } else {
      catalog_.trees.erase(key);
      const std::uint64_t stated =
          value.size() >= kCountEnd ? load_u64_le(value.data() + kRootEnd) : 0;
      catalog_.lost.insert_or_assign(std::move(key), stated);
    }
    return ok();
  }

  RecoveredCatalog take() { return std::move(catalog_); }

 private:
  std::optional<TreeDescriptor> usable_descriptor(ByteView name, ByteView value) {
    if (!codec::is_utf8(name)) return std::nullopt;
    if (auto descriptor = TreeDescriptor::decode(value, source_)) return *descriptor;
    if (value.size() < kRootEnd) return std::nullopt;
    TreeDescriptor descriptor;
    descriptor.root = ChildPointer::load(value.data() + sizeof(std::uint64_t));
    if (descriptor.root.page == 0) return std::nullopt;
    // The page's own tree id, believed only once the page reads as the
    // pointer names it.
    PageRun run;
    if (!source_.read_pages(descriptor.root.page, 1, run)) return std::nullopt;
    const std::uint64_t tree_id = PageHeader::read(run.page(0)).tree_id;
    if (tree_id < kFirstNamedTreeId) return std::nullopt;
    if (!source_.fetch_node(descriptor.root, tree_id, std::nullopt)) return std::nullopt;
    descriptor.tree_id = tree_id;
    return descriptor;
  }

  NodeSource& source_;
  RecoveredCatalog catalog_;
};

// Puts the copied entries into the target, in write transactions begun
// when needed and committed (deferred) every 32 MiB of keys and values. A
// tree's entries that come in ascending key order (all of them, when its
// walk found no gap) are laid out bottom-up, leaves written as they fill;
// the first entry out of order ends that layout, and from there on entries
// are put one by one.
class TreeWriter {
 public:
  TreeWriter(std::shared_ptr<Instance> target, std::uint64_t commit_bytes)
      : target_(std::move(target)), commit_bytes_(commit_bytes) {}

  Status start_tree(std::string name) {
    name_ = std::move(name);
    nothing_put_ = true;
    last_key_.clear();
    DZ_CHECK(open());
    TreeEntry* entry = DZ_TRY(txn_->tree_entry(bytes_view(name_), true));
    context_.emplace(txn_->write_context(*entry));
    builder_.emplace(*context_);
    return ok();
  }

  Status put(ByteView key, ByteView value) {
    const bool in_order = nothing_put_ || compare_keys(key, bytes_view(last_key_)) > 0;
    nothing_put_ = false;
    copied_ += key.size() + value.size();
    if (builder_ && in_order) {
      last_key_.assign(reinterpret_cast<const char*>(key.data()), key.size());
      DZ_CHECK(builder_->add(key, value));
      if (copied_ >= commit_bytes_) DZ_CHECK(commit_layout());
      return ok();
    }
    DZ_CHECK(end_layout());
    DZ_CHECK(open());
    DZ_CHECK(txn_->put(bytes_view(name_), key, value));
    if (copied_ >= commit_bytes_) DZ_CHECK(commit());
    return ok();
  }

  // The tree exists in the target even when nothing of it could be read.
  Status finish_tree() {
    DZ_CHECK(end_layout());
    if (nothing_put_) {
      DZ_CHECK(open());
      DZ_CHECK(txn_->put(bytes_view(name_), {}, {}));
      DZ_TRY(txn_->del(bytes_view(name_), {}));
    }
    if (copied_ >= commit_bytes_) DZ_CHECK(commit());
    return ok();
  }

  Status commit() {
    if (!txn_) return ok();
    auto txn = std::move(txn_);
    copied_ = 0;
    return txn->commit_deferred();
  }

 private:
  Status open() {
    if (!txn_) txn_ = DZ_TRY(WriteTxn::begin(target_));
    return ok();
  }

  // Commits the entries laid out so far as a whole tree, and goes on in a
  // new transaction.
  Status commit_layout() {
    DZ_CHECK(set_root(builder_->checkpoint()));
    DZ_CHECK(commit());
    DZ_CHECK(open());
    TreeEntry* entry = DZ_TRY(txn_->tree_entry(bytes_view(name_), true));
    context_.emplace(txn_->write_context(*entry));
    builder_->resume(*context_);
    return ok();
  }

  Status set_root(Result<ChildPointer> root) {
    if (!root) return fail(std::move(root).error());
    TreeEntry* entry = DZ_TRY(txn_->tree_entry(bytes_view(name_), true));
    entry->root = TreeRoot::on_disk(*root);
    entry->entry_count = builder_->entries();
    entry->changed = true;
    return ok();
  }

  // Gives the tree what the bottom-up layout built so far.
  Status end_layout() {
    if (!builder_) return ok();
    DZ_CHECK(set_root(builder_->finish()));
    builder_.reset();
    context_.reset();
    return ok();
  }

  std::shared_ptr<Instance> target_;
  std::uint64_t commit_bytes_;
  // Aborted when dropped uncommitted.
  std::unique_ptr<WriteTxn> txn_;
  std::string name_;
  bool nothing_put_ = true;
  std::string last_key_;
  // The layout of the tree in hand; the builder refers to the context.
  std::optional<WriteContext> context_;
  std::optional<repack::TreeBuilder> builder_;
  std::uint64_t copied_ = 0;
};

Result<RecoveredCatalog> recover_catalog(NodeSource& source,
                                         const std::optional<CommitRecord>& commit,
                                         const LeafIndex& leaves, SalvageReport& report) {
  CatalogReader reader(source);
  auto keep = [&](ByteView name, ByteView value) { return reader.visit(name, value); };
  if (!commit) {
    // Every scanned catalog leaf may hold the names; the newest wins.
    Gap everything{
        std::nullopt, std::nullopt, kCatalogTreeId, std::numeric_limits<std::uint64_t>::max(), {}};
    DZ_CHECK(fill_gap(source, leaves, std::move(everything), keep));
    return reader.take();
  }
  auto gaps = DZ_TRY(walk_tree(source, commit->catalog, kCatalogTreeId, keep));
  report.pages_unread += gaps.size();
  for (Gap& gap : gaps) DZ_CHECK(fill_gap(source, leaves, std::move(gap), keep));
  return reader.take();
}

bool is_index_tree(const std::string& name) { return name.starts_with(names::kIndexPrefix); }

}  // namespace

Status rebuild(const std::shared_ptr<Instance>& target, NodeSource& source,
               const std::optional<CommitRecord>& commit, const LeafIndex& leaves,
               SalvageReport& report, std::uint64_t commit_bytes) {
  const RecoveredCatalog catalog = DZ_TRY(recover_catalog(source, commit, leaves, report));
  for (const auto& [name, stated_entries] : catalog.lost) {
    // An index loses nothing: it is rebuilt from the records.
    if (is_index_tree(name)) continue;
    ++report.trees_lost;
    if (name.starts_with(names::kRecordPrefix)) report.objects_dropped += stated_entries;
  }
  TreeWriter writer(target, commit_bytes);
  std::vector<std::string> copied;
  auto put = [&](ByteView key, ByteView value) { return writer.put(key, value); };
  for (const auto& [name, descriptor] : catalog.trees) {
    // Indexes are rebuilt from the records that stay.
    if (is_index_tree(name)) continue;
    DZ_CHECK(writer.start_tree(name));
    auto gaps = DZ_TRY(walk_tree(source, descriptor.root, descriptor.tree_id, put));
    report.pages_unread += gaps.size();
    for (Gap& gap : gaps) {
      const GapFill fill = DZ_TRY(fill_gap(source, leaves, std::move(gap), put));
      report.entries_recovered += fill.delivered;
      report.values_lost += fill.wanted_left;
    }
    DZ_CHECK(writer.finish_tree());
    copied.push_back(name);
  }
  DZ_CHECK(writer.commit());
  return object_pass(target, copied, report);
}

}  // namespace deziro::salvage
