#include "txn/read_txn.hpp"

#include <algorithm>

namespace deziro {

Result<ReadTxn> ReadTxn::begin(std::shared_ptr<Instance> instance,
                               std::shared_ptr<const ResolvedSchema> schema) {
  PublishedCommit published = DZ_TRY(instance->begin_snapshot());
  return ReadTxn(std::move(instance), std::move(schema), published.record);
}

ReadTxn::ReadTxn(std::shared_ptr<Instance> instance, std::shared_ptr<const ResolvedSchema> schema,
                 CommitRecord record)
    : instance_(std::move(instance)), schema_(std::move(schema)), record_(record) {}

ReadTxn::ReadTxn(ReadTxn&& other) noexcept
    : schema_confirmed(other.schema_confirmed),
      instance_(std::move(other.instance_)),
      schema_(std::move(other.schema_)),
      record_(other.record_) {}

ReadTxn& ReadTxn::operator=(ReadTxn&& other) noexcept {
  if (this != &other) {
    end();
    instance_ = std::move(other.instance_);
    schema_ = std::move(other.schema_);
    record_ = other.record_;
    schema_confirmed = other.schema_confirmed;
  }
  return *this;
}

ReadTxn::~ReadTxn() { end(); }

void ReadTxn::end() {
  if (instance_) instance_->end_snapshot(record_.txn_id);
  instance_.reset();
}

Result<std::optional<TreeDescriptor>> ReadTxn::descriptor(ByteView tree_name) {
  // Begun before a fork: its reader byte is the opener's, so what it sees
  // may be freed.
  DZ_CHECK(instance_->check_process());
  DZ_CHECK(catalog::check_tree_name(tree_name, max_key_len()));
  return catalog::find(source(), record_.catalog, tree_name);
}

Result<std::optional<std::vector<std::uint8_t>>> ReadTxn::open_tree(ByteView tree_name,
                                                                    ByteView key) {
  return copy_value(*this, tree_name, key);
}

Result<bool> ReadTxn::get(ByteView tree_name, ByteView key, ValueVisitor visitor) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return false;
  return btree::get(ReadContext{source(), d->tree_id}, d->root, key, visitor);
}

Result<std::optional<RangeCursor>> ReadTxn::range(ByteView tree_name, const KeyBound& lower,
                                                  const KeyBound& upper, bool reverse) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return std::nullopt;
  return RangeCursor::open(ReadContext{source(), d->tree_id}, d->root, lower, upper, reverse);
}

Result<std::uint64_t> ReadTxn::tree_len(ByteView tree_name) {
  auto d = DZ_TRY(descriptor(tree_name));
  return d ? d->entry_count : 0;
}

Result<std::unique_ptr<TreeReader>> ReadTxn::tree_reader(ByteView tree_name) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return nullptr;
  return std::make_unique<RootReader>(source(), d->tree_id, d->root);
}

Error ReadTxn::error_at(std::string message) const {
  return Error::corrupted(instance_->path(), std::move(message));
}

Result<bool> ReadTxn::stored_schema_equals(ByteView stored) {
  return schema_bytes_equal(*this, stored);
}

Result<NodeView> BranchMemo::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                        std::optional<std::uint8_t> level) {
  if (level == 0) return inner_.fetch_node(pointer, tree_id, level);
  if (auto it = kept_.find(pointer.page); it != kept_.end()) {
    const Kept& k = it->second;
    // The same image reached the same way; anything else is checked afresh.
    if (k.pointer == pointer && k.tree_id == tree_id && (!level || k.view.level() == *level))
      return k.view;
  }
  NodeView view = DZ_TRY(inner_.fetch_node(pointer, tree_id, level));
  if (!view.is_leaf() && kept_.size() < kMaxBranches)
    kept_.insert_or_assign(pointer.page, Kept{pointer, tree_id, view});
  return view;
}

Result<bool> RootReader::get(ByteView key, ValueVisitor visitor) {
  return btree::get(ReadContext{memo_, tree_id_}, root_, key, visitor);
}

Result<std::optional<std::vector<std::uint8_t>>> copy_value(TreeAccess& access, ByteView tree_name,
                                                            ByteView key) {
  std::optional<std::vector<std::uint8_t>> out;
  auto visitor = [&](ByteView value) -> Status {
    out.emplace(value.begin(), value.end());
    return ok();
  };
  DZ_CHECK(access.get(tree_name, key, visitor));
  return out;
}

Result<bool> schema_bytes_equal(TreeAccess& access, ByteView stored) {
  bool equal = false;
  auto visitor = [&](ByteView value) -> Status {
    equal = std::ranges::equal(value, stored);
    return ok();
  };
  DZ_CHECK(access.get(bytes_of(kMetaTreeName), bytes_of(kSchemaKey), visitor));
  return equal;
}

}  // namespace deziro
