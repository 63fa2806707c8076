#include "txn/write_txn.hpp"

#include <algorithm>

#include "btree/pager/pager_source.hpp"
#include "text_format.hpp"
#include "txn/head.hpp"

namespace deziro {
namespace {

constexpr std::string_view kFailedMessage =
    "an operation in this write transaction failed, so it can only be aborted";

std::string as_string(ByteView bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// For lookups in maps keyed by std::string without building one.
std::string_view as_view(ByteView bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A tree name as messages show it: UTF-8 where it is valid, NUL as "\0".
std::string display_name(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '\0')
      out += "\\0";
    else
      out.push_back(c);
  }
  return out;
}

// A visitor wrapper that remembers whether the caller's visitor failed, so
// that its refusal does not mark the transaction failed.
struct TrackedVisitor {
  const ValueVisitor* inner;
  bool failed = false;
  Status operator()(ByteView value) {
    auto s = (*inner)(value);
    if (!s) failed = true;
    return s;
  }
};

// A reader over a tree of this transaction as it is now.
class EntryReader final : public TreeReader {
 public:
  EntryReader(NodeSource& source, const TreeEntry& entry) : source_(source), entry_(entry) {}
  Result<bool> get(ByteView key, ValueVisitor visitor) override {
    return btree::get(ReadContext{source_, entry_.tree_id}, entry_.root, key, visitor);
  }

 private:
  NodeSource& source_;
  const TreeEntry& entry_;
};

}  // namespace

// ---------------------------------------------------------------- begin

WriteTxn::WriteTxn(std::shared_ptr<Instance> instance, std::shared_ptr<const ResolvedSchema> schema)
    : instance_(std::move(instance)), schema_(std::move(schema)) {}

Result<std::unique_ptr<WriteTxn>> WriteTxn::begin(std::shared_ptr<Instance> instance,
                                                  std::shared_ptr<const ResolvedSchema> schema) {
  WriterGuard writer = DZ_TRY(instance->begin_write());
  std::unique_ptr<WriteTxn> txn(new WriteTxn(std::move(instance), std::move(schema)));
  txn->writer_ = std::move(writer);
  txn->holds_writer_ = true;
  // Deferred commits wrote many pages since the last sync: this one is
  // durable whatever its caller asks.
  txn->durable_only_ = txn->instance_->deferred_page_limit_reached();
  PublishedCommit published = txn->instance_->published();
  txn->base_ = published.record;
  txn->txn_id_ = published.record.txn_id + 1;
  txn->space_.page_count = published.record.page_count;
  txn->space_.max_page_count = space::page_limit(txn->instance_->page_size());
  txn->next_tree_id_ = published.record.next_tree_id;
  txn->layout_ = txn->instance_->leaf_layout();
  txn->catalog_ = TreeRoot::on_disk(published.record.catalog);
  txn->free_tree_ = TreeRoot::on_disk(published.record.free_tree);
  txn->retained_tree_ = TreeRoot::on_disk(published.record.retained_tree);
  DZ_CHECK(txn->load_free_space());
  return txn;
}

Status WriteTxn::load_free_space() {
  if (auto kept = instance_->take_free_runs(base_.txn_id, base_.free_tree)) {
    space_.free_runs = std::move(*kept);
  } else {
    DZ_CHECK(read_free_tree());
  }
  // From here on the free runs differ from the free tree only where the
  // log says, which is what the commit writes into it.
  space_.free_runs.start_log();
  return free_retained_groups();
}

Status WriteTxn::read_free_tree() {
  auto free_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    auto run = free_space::decode_free(key, value);
    if (!run) return fail(error_at(format_text("the free tree: {}", run.error())));
    if (!space::add_free_run(space_.free_runs, run->first, run->count) ||
        run->first + run->count > space_.page_count)
      return fail(
          error_at(format_text("the free tree: the run at page {} overlaps another or "
                               "passes the end of the file",
                               run->first)));
    return VisitAnswer::Continue;
  };
  return read::scan_forward(ReadContext{source(), kFreeTreeId}, free_tree_, KeyBound::unbounded(),
                            KeyBound::unbounded(), free_visitor);
}

Status WriteTxn::free_retained_groups() {
  // A group of pages released by commit C is seen by snapshots older than
  // C. It is free once no record in the slots, no live snapshot and no
  // commit that recovery might still fall back to is older than C.
  std::uint64_t limit = DZ_TRY(instance_->reclaim_limit(txn_id_));
  auto retained_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    if (free_space::retained_commit(key) > limit) return VisitAnswer::Stop;
    auto runs = free_space::decode_retained(key, value);
    if (!runs) return fail(error_at(format_text("the retained tree: {}", runs.error())));
    for (auto r : *runs)
      if (!space::add_free_run(space_.free_runs, r.first, r.count) ||
          r.first + r.count > space_.page_count)
        return fail(
            error_at(format_text("the retained tree: the run at page {} overlaps another "
                                 "or passes the end of the file",
                                 r.first)));
    std::array<std::uint8_t, 12> k;
    std::copy(key.begin(), key.end(), k.begin());
    retained_freed_.push_back(k);
    return VisitAnswer::Continue;
  };
  return read::scan_forward(ReadContext{source(), kRetainedTreeId}, retained_tree_,
                            KeyBound::unbounded(), KeyBound::unbounded(), retained_visitor);
}

WriteTxn::~WriteTxn() { finish(); }

void WriteTxn::abort() { finish(); }

void WriteTxn::finish() {
  if (!holds_writer_) return;
  holds_writer_ = false;
  trees_.clear();
  pending_.clear();
  writer_.release();
}

// ---------------------------------------------------------------- helpers

Status WriteTxn::check_writable() const {
  if (!holds_writer_) return fail(Error::closed());
  // Begun before a fork: the write lock is the opener's, not this process's.
  DZ_CHECK(instance_->check_process());
  if (instance_->failed()) return fail(instance_->sync_failed_error());
  return ok();
}

Status WriteTxn::check_name(ByteView tree_name) const {
  return catalog::check_tree_name(tree_name, max_key_len());
}

WriteContext WriteTxn::context(std::uint64_t tree_id) {
  return WriteContext{source(), tree_id, txn_id_, layout_, pages_};
}

WriteContext WriteTxn::write_context(const TreeEntry& entry) { return context(entry.tree_id); }

Result<std::optional<TreeDescriptor>> WriteTxn::stored_descriptor(std::string_view name) {
  return catalog::find(source(), catalog_, bytes_of(name));
}

void WriteTxn::drop_buffered_key(std::string_view name, ByteView key) {
  if (pending_.empty()) return;
  auto it = pending_.find(name);
  if (it == pending_.end()) return;
  if (auto k = it->second.find(as_view(key)); k != it->second.end()) it->second.erase(k);
  if (it->second.empty()) pending_.erase(it);
}

Result<TreeEntry*> WriteTxn::tree_entry(ByteView tree_name, bool create) {
  DZ_CHECK(check_writable());
  DZ_CHECK(check_name(tree_name));
  DZ_CHECK(flush_pending(tree_name));
  if (auto it = trees_.find(as_view(tree_name)); it != trees_.end()) return &it->second;
  std::string name = as_string(tree_name);
  if (!dropped_.contains(name)) {
    if (auto d = DZ_TRY(stored_descriptor(name))) {
      TreeEntry e;
      e.name = name;
      e.tree_id = d->tree_id;
      e.root = TreeRoot::on_disk(d->root);
      e.entry_count = d->entry_count;
      return &trees_.emplace(name, std::move(e)).first->second;
    }
  }
  if (!create) return nullptr;
  TreeEntry e;
  e.name = name;
  e.tree_id = next_tree_id_++;
  e.changed = true;
  return &trees_.emplace(name, std::move(e)).first->second;
}

// ---------------------------------------------------------------- reads

Result<std::optional<std::vector<std::uint8_t>>> WriteTxn::open_tree(ByteView tree_name,
                                                                     ByteView key) {
  return copy_value(*this, tree_name, key);
}

Result<bool> WriteTxn::get(ByteView tree_name, ByteView key, ValueVisitor visitor) {
  DZ_CHECK(check_writable());
  DZ_CHECK(check_name(tree_name));
  std::string_view name = as_view(tree_name);
  if (auto p = pending_.find(name); p != pending_.end()) {
    if (auto k = p->second.find(as_view(key)); k != p->second.end()) {
      if (!k->second) return false;
      DZ_CHECK(visitor(bytes_of(*k->second)));
      return true;
    }
  }
  if (auto it = trees_.find(name); it != trees_.end())
    return btree::get(ReadContext{source(), it->second.tree_id}, it->second.root, key, visitor);
  if (dropped_.find(name) != dropped_.end()) return false;
  auto d = DZ_TRY(stored_descriptor(name));
  if (!d) return false;
  return btree::get(ReadContext{source(), d->tree_id}, d->root, key, visitor);
}

Result<std::optional<RangeCursor>> WriteTxn::range(ByteView tree_name, const KeyBound& lower,
                                                   const KeyBound& upper, bool reverse) {
  DZ_CHECK(check_writable());
  DZ_CHECK(check_name(tree_name));
  std::string name = as_string(tree_name);
  if (pending_.contains(name))
    return fail(Error::internal(
        format_text("tree {} was walked with values waiting to be stored", display_name(name))));
  if (auto it = trees_.find(name); it != trees_.end())
    return RangeCursor::open(ReadContext{source(), it->second.tree_id}, it->second.root, lower,
                             upper, reverse);
  if (dropped_.contains(name)) return std::nullopt;
  auto d = DZ_TRY(stored_descriptor(name));
  if (!d) return std::nullopt;
  return RangeCursor::open(ReadContext{source(), d->tree_id}, d->root, lower, upper, reverse);
}

Result<std::uint64_t> WriteTxn::tree_len(ByteView tree_name) {
  // The count must include the buffered writes, so they go in first.
  TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
  return e ? e->entry_count : 0;
}

Result<std::unique_ptr<TreeReader>> WriteTxn::tree_reader(ByteView tree_name) {
  TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
  if (!e) return nullptr;
  return std::make_unique<EntryReader>(source(), *e);
}

Error WriteTxn::error_at(std::string message) const {
  return Error::corrupted(instance_->path(), std::move(message));
}

Result<bool> WriteTxn::stored_schema_equals(ByteView stored) {
  return schema_bytes_equal(*this, stored);
}

// ---------------------------------------------------------------- writes

Status WriteTxn::put(ByteView tree_name, ByteView key, ByteView value) {
  DZ_CHECK(check_writable());
  auto result = [&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    drop_buffered_key(as_view(tree_name), key);
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, true));
    bool added = DZ_TRY(btree::put(context(e->tree_id), e->root, key, value, PutMode::Upsert));
    if (added) ++e->entry_count;
    e->changed = true;
    return ok();
  }();
  if (!result) failed_ = true;
  return result;
}

Result<bool> WriteTxn::put_in_tree(ByteView tree_name, ByteView key, ByteView value, bool replace,
                                   const ValueVisitor* old_value) {
  DZ_CHECK(check_writable());
  TrackedVisitor tracked{old_value};
  ValueVisitor wrapped = tracked;
  auto result = [&]() -> Result<bool> {
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, true));
    bool added = DZ_TRY(btree::put(context(e->tree_id), e->root, key, value,
                                   replace ? PutMode::Upsert : PutMode::InsertOnly,
                                   old_value ? &wrapped : nullptr));
    if (added) ++e->entry_count;
    if (added || replace) e->changed = true;
    return added;
  }();
  if (!result && !tracked.failed && result.error().kind() != ErrorKind::InvalidArgument)
    failed_ = true;
  return result;
}

Result<bool> WriteTxn::del(ByteView tree_name, ByteView key) {
  DZ_CHECK(check_writable());
  auto result = [&]() -> Result<bool> {
    DZ_CHECK(check_name(tree_name));
    drop_buffered_key(as_view(tree_name), key);
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
    if (!e) return false;
    DZ_CHECK(btree::check_key(instance_->page_size(), key.size()));
    bool removed = DZ_TRY(btree::remove(context(e->tree_id), e->root, key));
    if (removed) {
      --e->entry_count;
      e->changed = true;
    }
    return removed;
  }();
  if (!result) failed_ = true;
  return result;
}

Result<bool> WriteTxn::delete_in_tree(ByteView tree_name, ByteView key,
                                      const ValueVisitor* stored) {
  DZ_CHECK(check_writable());
  TrackedVisitor tracked{stored};
  ValueVisitor wrapped = tracked;
  auto result = [&]() -> Result<bool> {
    // No tree holds a key longer than the file allows: nothing to remove.
    if (key.size() > max_key_len()) return false;
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
    if (!e) return false;
    bool removed =
        DZ_TRY(btree::remove(context(e->tree_id), e->root, key, stored ? &wrapped : nullptr));
    if (removed) {
      --e->entry_count;
      e->changed = true;
    }
    return removed;
  }();
  if (!result && !tracked.failed && result.error().kind() != ErrorKind::InvalidArgument)
    failed_ = true;
  return result;
}

Status WriteTxn::buffer_put(ByteView tree_name, ByteView key, ByteView value) {
  DZ_CHECK(check_writable());
  auto result = [&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    DZ_CHECK(btree::check_key(instance_->page_size(), key.size()));
    DZ_CHECK(btree::check_value(value.size()));
    pending_[as_string(tree_name)][as_string(key)] = as_string(value);
    return ok();
  }();
  if (!result) failed_ = true;
  return result;
}

Status WriteTxn::buffer_delete(ByteView tree_name, ByteView key) {
  DZ_CHECK(check_writable());
  auto result = [&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    DZ_CHECK(btree::check_key(instance_->page_size(), key.size()));
    pending_[as_string(tree_name)][as_string(key)] = std::nullopt;
    return ok();
  }();
  if (!result) failed_ = true;
  return result;
}

Status WriteTxn::buffer_meta_put(ByteView key, ByteView value) {
  return buffer_put(bytes_of(kMetaTreeName), key, value);
}

Status WriteTxn::flush_pending(ByteView tree_name) {
  if (pending_.empty()) return ok();
  auto it = pending_.find(as_view(tree_name));
  if (it == pending_.end()) return ok();
  auto writes = std::move(it->second);
  pending_.erase(it);
  auto result = [&]() -> Status {
    TreeEntry* e = nullptr;
    for (auto& [key, value] : writes) {
      if (!e) e = DZ_TRY(tree_entry(tree_name, value.has_value()));
      if (!e) continue;
      if (value) {
        if (DZ_TRY(btree::put(context(e->tree_id), e->root, bytes_of(key), bytes_of(*value))))
          ++e->entry_count;
        e->changed = true;
      } else if (DZ_TRY(btree::remove(context(e->tree_id), e->root, bytes_of(key)))) {
        --e->entry_count;
        e->changed = true;
      }
    }
    return ok();
  }();
  if (!result) failed_ = true;
  return result;
}

Status WriteTxn::flush_all_pending() {
  while (!pending_.empty()) {
    std::string name = pending_.begin()->first;
    DZ_CHECK(flush_pending(bytes_of(name)));
  }
  return ok();
}

Status WriteTxn::drop_tree(ByteView tree_name) {
  DZ_CHECK(check_writable());
  auto result = [&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    std::string name = as_string(tree_name);
    pending_.erase(name);
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
    if (!e) return ok();
    DZ_CHECK(btree::drop_tree(context(e->tree_id), e->root));
    trees_.erase(name);
    dropped_.insert(name);
    return ok();
  }();
  if (!result) failed_ = true;
  return result;
}

// ---------------------------------------------------------------- pages

Result<std::uint64_t> WriteTxn::Pages::allocate_page() {
  if (!reserve) return space::allocate_page(txn_.space_);
  // Set-aside pages first, then new ones at the end: never a free run.
  if (auto page = free_space::take_lowest(*reserve)) {
    txn_.space_.allocated.insert(*page);
    return *page;
  }
  space::PageSpace end_only;
  end_only.page_count = txn_.space_.page_count;
  end_only.max_page_count = txn_.space_.max_page_count;
  std::uint64_t page = DZ_TRY(space::allocate_page(end_only));
  txn_.space_.page_count = end_only.page_count;
  txn_.space_.allocated.insert(page);
  return page;
}

Result<std::uint64_t> WriteTxn::Pages::allocate_run(std::uint32_t count) {
  // The free-space trees hold no overflow runs, so a reserve never serves one.
  return space::allocate_run(txn_.space_, count);
}

Status WriteTxn::Pages::write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                                    std::span<PageStamp> stamps) {
  std::size_t page_size = txn_.instance_->page_size();
  PageReader& reader = txn_.instance_->reader();
  const PageProtection& protection = reader.protection();
  // Node pages as a read would open them: the plain body, with the nonce
  // and the trailer that sealing adds.
  std::vector<OpenedPage> nodes;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    auto page = pages.subspan(i * page_size, page_size);
    PageHeader header = PageHeader::read(page);
    bool node = header.kind != std::uint8_t(PageKind::Overflow);
    if (node) {
      OpenedPage& opened = nodes.emplace_back();
      opened.page_number = first + i;
      opened.header = header;
      opened.bytes = AlignedBuffer(page_size);
      std::copy(page.begin(), page.end(), opened.bytes.span().begin());
    }
    stamps[i] = DZ_TRY(protection.seal_page(first + i, page));
    if (node) {
      auto plain = nodes.back().bytes.span();
      std::copy_n(page.begin(), kPageNonceSize, plain.begin());
      std::copy_n(page.end() - kPageStampSize, kPageStampSize, plain.end() - kPageStampSize);
      nodes.back().stamp = stamps[i];
    }
  }
  txn_.pages_written_ += stamps.size();
  DZ_CHECK(txn_.instance_->storage().write_at(first * page_size, pages));
  for (OpenedPage& opened : nodes) remember_written_node(reader.pager(), std::move(opened));
  return ok();
}

void WriteTxn::Pages::release_pages(std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t p = first; p < first + count; ++p) space::release_page(txn_.space_, p);
}

// ---------------------------------------------------------------- commit

Status WriteTxn::commit() { return commit_with(false); }

Status WriteTxn::commit_deferred() { return commit_with(true); }

Status WriteTxn::commit_with(bool deferred) {
  auto result = [&]() -> Status {
    // In a forked child too, where it holds neither the writer nor the
    // file's locks.
    DZ_CHECK(check_writable());
    DZ_CHECK(flush_all_pending());
    if (failed_) return fail(Error::invalid_argument(std::string(kFailedMessage)));
    return publish(deferred && !durable_only_);
  }();
  finish();
  return result;
}

Status WriteTxn::write_catalog() {
  WriteContext cx = context(kCatalogTreeId);
  for (auto& [name, e] : trees_) {
    if (!e.changed) continue;
    TreeDescriptor d;
    d.tree_id = e.tree_id;
    d.root = DZ_TRY(btree::write_tree(context(e.tree_id), e.root));
    d.entry_count = e.entry_count;
    auto bytes = d.encode();
    DZ_CHECK(btree::put(cx, catalog_, bytes_of(name), bytes));
  }
  for (const std::string& name : dropped_)
    if (!trees_.contains(name)) DZ_CHECK(btree::remove(cx, catalog_, bytes_of(name)));
  return ok();
}

namespace {

// Pages that writing a tree will take: one per node held in memory.
std::size_t nodes_in_memory(const MemNode* node) {
  if (node == nullptr) return 0;
  std::size_t n = 1;
  for (const MemChild& c : node->children) n += nodes_in_memory(c.node.get());
  return n;
}

}  // namespace

void WriteTxn::collect_released() {
  auto& pages = space_.released_published;
  for (; released_counted_ < pages.size(); ++released_counted_)
    space::add_free_run(released_, pages[released_counted_], 1);
}

Result<bool> WriteTxn::write_free_run(std::uint64_t first) {
  WriteContext cx = context(kFreeTreeId);
  auto key = free_space::free_key(first);
  std::optional<std::uint64_t> stored;
  DZ_TRY(btree::get(ReadContext{source(), kFreeTreeId}, free_tree_, key, [&](ByteView v) -> Status {
    auto run = free_space::decode_free(key, v);
    if (!run) return fail(error_at(format_text("the free tree: {}", run.error())));
    stored = run->count;
    return ok();
  }));
  auto it = space_.free_runs.find(first);
  if (it == space_.free_runs.end()) {
    if (!stored) return false;
    DZ_CHECK(btree::remove(cx, free_tree_, key));
    return true;
  }
  if (stored == it->second) return false;
  DZ_CHECK(btree::put(cx, free_tree_, key, free_space::free_value(it->second)));
  return true;
}

Status WriteTxn::apply_free_space() {
  for (int pass = 0;; ++pass) {
    if (pass == 32) return fail(Error::internal("the free-space trees did not settle"));
    // Pages of this transaction released again are free outright.
    space::free_own_releases(space_);
    collect_released();
    // Only runs changed since the free tree last took them in can differ
    // from it.
    bool changed = false;
    for (std::uint64_t first : space_.free_runs.take_changes())
      changed = DZ_TRY(write_free_run(first)) || changed;
    if (!changed && released_ == group_written_) return ok();
    WriteContext rcx = context(kRetainedTreeId);
    auto chunks = free_space::encode_group(released_, instance_->page_size());
    for (std::size_t i = 0; i < chunks.size(); ++i)
      DZ_CHECK(btree::put(rcx, retained_tree_, free_space::retained_key(txn_id_, std::uint32_t(i)),
                          bytes_of(chunks[i])));
    for (std::size_t i = chunks.size(); i < group_chunks_; ++i)
      DZ_CHECK(
          btree::remove(rcx, retained_tree_, free_space::retained_key(txn_id_, std::uint32_t(i))));
    group_chunks_ = chunks.size();
    group_written_ = released_;
  }
}

Status WriteTxn::settle_free_space() {
  space::free_own_releases(space_);
  space::trim_free_tail(space_);
  group_chunks_ = 0;
  group_written_ = {};
  for (const auto& key : retained_freed_)
    DZ_CHECK(btree::remove(context(kRetainedTreeId), retained_tree_, key));
  // The two trees are written from pages set aside beforehand, so that
  // writing them changes no free run. How many they need depends on what
  // they hold, which depends on what was set aside, and taking or giving
  // back the last free page can flip the need back and forth. So the reserve
  // first only grows, from the lowest free pages, until it covers the need;
  // from its first surplus on it only shrinks, its highest pages given back
  // as free runs, and a need that grows meanwhile is met by new pages at the
  // end of the file. Every pass but the last moves at least one page one
  // way, so the settling ends.
  bool growing = true;
  for (;;) {
    DZ_CHECK(apply_free_space());
    std::uint64_t needed =
        nodes_in_memory(free_tree_.mem()) + nodes_in_memory(retained_tree_.mem());
    std::uint64_t have = space::free_page_count(reserve_);
    if (have == needed) return ok();
    if (have < needed) {
      // Short of free pages: the rest come from the end of the file.
      if (!growing || space_.free_runs.empty()) return ok();
      for (; have < needed; ++have) {
        auto page = free_space::take_lowest(space_.free_runs);
        if (!page) break;
        space::add_free_run(reserve_, *page, 1);
      }
    } else {
      growing = false;
      for (; have > needed; --have)
        space::add_free_run(space_.free_runs, free_space::take_highest(reserve_), 1);
    }
  }
}

Status WriteTxn::publish(bool deferred) {
  if (txn_id_ > kMaxTxnId) return fail(Error::internal("the transaction ids are used up"));
  // Before any page is written: the pages this transaction takes as free
  // may hold a commit made beside it.
  DZ_CHECK(instance_->check_still_published(base_.txn_id));
  DZ_CHECK(write_catalog());
  CommitRecord record;
  record.catalog = DZ_TRY(btree::write_tree(context(kCatalogTreeId), catalog_));
  DZ_CHECK(settle_free_space());
  // Written from new pages at the end only, so that no free run changes
  // after the free tree took them in.
  auto released_before = space_.released_published.size();
  pages_.reserve = &reserve_;
  auto free_root = btree::write_tree(context(kFreeTreeId), free_tree_);
  auto retained_root = free_root ? btree::write_tree(context(kRetainedTreeId), retained_tree_)
                                 : Result<ChildPointer>(ChildPointer{});
  pages_.reserve = nullptr;
  if (!free_root) return fail(std::move(free_root).error());
  if (!retained_root) return fail(std::move(retained_root).error());
  if (!space_.free_runs.take_changes().empty() ||
      space_.released_published.size() != released_before || !space_.released_own.empty() ||
      !reserve_.empty())
    return fail(Error::internal("writing the free-space trees changed the free space"));
  record.free_tree = *free_root;
  record.retained_tree = *retained_root;
  record.txn_id = txn_id_;
  record.page_count = space_.page_count;
  record.next_tree_id = next_tree_id_;
  // Every commit carries the key block on, unless this one changes it.
  record.key_block = new_key_block_ ? *new_key_block_ : base_.key_block;

  // A sync beside this writer waits until the commit is published.
  auto publishing = instance_->hold_publishing();
  std::uint8_t slot = DZ_TRY(instance_->slot_for_next_commit());
  PublishedCommit published = instance_->published();
  // An encrypted file's record is signed for its slot.
  if (const FileKeys* keys = instance_->file_keys())
    record::sign_commit_record(record, keys->record_mac_key, instance_->file_id(), slot);
  Storage& storage = instance_->storage();
  auto bytes = record::encode_commit_record(record);
  DZ_CHECK(storage.write_at(record_slot_offset(slot), bytes));
  if (!deferred) {
    if (auto s = storage.sync(); !s) {
      instance_->mark_failed(std::string(s.error().message()));
      return fail(instance_->sync_failed_error());
    }
  }
  std::uint8_t selector = header::encode_selector({slot, deferred});
  if (auto s = storage.write_at(kSelectorOffset, {&selector, 1}); !s) {
    instance_->mark_failed(std::string(s.error().message()));
    return fail(instance_->sync_failed_error());
  }
  published.record = record;
  published.slot = slot;
  published.deferred = deferred;
  published.slot_txn_ids[slot] = txn_id_;
  instance_->committed(published, pages_written_);
  instance_->keep_free_runs(txn_id_, record.free_tree, std::move(space_.free_runs));
  publishing.unlock();
  if (!deferred) {
    // Pages past the end of the commit belong to nobody now; a failure to
    // cut them off costs only space.
    auto length = length_of_pages(space_.page_count, instance_->page_size());
    if (auto len = storage.len_or_error(); length && len && *len > *length)
      (void)storage.set_len(*length);
  }
  return ok();
}

}  // namespace deziro
