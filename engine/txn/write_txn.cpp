#include "txn/write_txn.hpp"

#include <algorithm>
#include <numeric>

#include "btree/pager/pager_source.hpp"
#include "invariant.hpp"
#include "storage/block_arena.hpp"
#include "storage/spare_blocks.hpp"
#include "text_format.hpp"
#include "txn/head.hpp"

namespace deziro {
namespace {

// A commit's batch of pages is written out when it reaches this size.
constexpr std::size_t kBatchBytes = std::size_t(1) << 20;
// The pages a batch makes room for as it begins: a small commit's.
constexpr std::size_t kBatchPagesAtOnce = 64;
// The free pages past a durable commit's page count that the file keeps: a
// sixteenth of the count, at most 64.
std::uint64_t kept_tail_pages(std::uint64_t page_count) {
  return std::min<std::uint64_t>(64, page_count / 16);
}
// Cuts the file to `page_count` pages when more than `kept` free pages lie
// past them. Requires a durable commit of that page count published and
// the writer held. A failed cut costs only space: it is ignored.
void cut_file(Storage& storage, std::uint64_t page_count, std::uint32_t page_size,
              std::uint64_t kept) {
  auto length = length_of_pages(page_count, page_size);
  auto longest = length_of_pages(page_count + kept, page_size);
  if (auto len = storage.len_or_error(); length && longest && len && *len > *longest)
    (void)storage.set_len(*length);
}
// Bounds of what a change adds to a tree's nodes in memory: per node it
// loads, in page sizes (its entries' blocks and vectors, for entries as
// small as they come), and per entry written besides its key and value.
constexpr std::uint64_t kLoadedNodePages = 6;
constexpr std::uint64_t kEntryOverhead = 64;
// The least a write transaction keeps in memory, whatever the cache size.
constexpr std::uint64_t kMinWriteMemory = 64 * 1024;
// A sorted load writes the leaves it filled once they take this share of
// the budget (4 MiB of a 256 MiB cache).
constexpr std::uint64_t kAppendedLeavesShare = 64;

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

namespace {
thread_local SpareBlocks<SizedBlockShape, 2> t_write_txn_blocks;
}  // namespace

void* WriteTxn::operator new(std::size_t size) {
  static_assert(alignof(WriteTxn) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  return t_write_txn_blocks.take_or_allocate({size});
}

void WriteTxn::operator delete(void* block, std::size_t size) noexcept {
  t_write_txn_blocks.keep_or_free(block, {size}, size);
}

std::size_t WriteTxn::spare_blocks() { return t_write_txn_blocks.count(); }

WriteTxn::WriteTxn(std::shared_ptr<OpenFile> file, std::shared_ptr<const ResolvedSchema> schema)
    : file_(std::move(file)), schema_(std::move(schema)) {}

Result<std::unique_ptr<WriteTxn>> WriteTxn::begin(std::shared_ptr<OpenFile> file,
                                                  std::shared_ptr<const ResolvedSchema> schema) {
  WriterGuard writer = DZ_TRY(file->begin_write());
  std::unique_ptr<WriteTxn> txn(new WriteTxn(std::move(file), std::move(schema)));
  txn->writer_ = std::move(writer);
  txn->holds_writer_ = true;
  // Deferred commits wrote many pages since the last sync: this one is
  // durable whatever its caller asks.
  txn->durable_only_ = txn->file_->deferred_page_limit_reached();
  PublishedCommit published = txn->file_->published();
  txn->base_ = published.record;
  txn->txn_id_ = published.record.txn_id + 1;
  txn->space_.page_count = published.record.page_count;
  txn->space_.max_page_count = space::page_limit(txn->file_->page_size());
  txn->next_tree_id_ = published.record.next_tree_id;
  txn->layout_ = txn->file_->leaf_layout();
  txn->memory_budget_ = std::max<std::uint64_t>(txn->file_->cache_size(), kMinWriteMemory);
  txn->catalog_ = TreeRoot::on_disk(published.record.catalog);
  auto kept = txn->file_->take_free_runs(txn->base_.txn_id, txn->base_.free_tree);
  WriteTxn& t = *txn;
  auto reclaim_limit = [&t](std::uint64_t oldest_group) {
    return t.file_->reclaim_limit(t.txn_id_, oldest_group);
  };
  DZ_CHECK(txn->commit_space_.load(txn->base_, txn->txn_id_, txn->layout_, std::move(kept),
                                   reclaim_limit));
  return txn;
}

WriteTxn::~WriteTxn() { finish(); }

void WriteTxn::abort() { finish(); }

void WriteTxn::finish() {
  if (!holds_writer_) return;
  holds_writer_ = false;
  last_tree_ = nullptr;
  trees_.clear();
  pending_.clear();
  writer_.release();
  // The nodes it held went back to the allocator, which the caches' memory
  // does not come from.
  if (memory_ >= block_arena::kGiveBackAfter) block_arena::give_back_freed_memory();
}

// ---------------------------------------------------------------- helpers

template <typename Step>
auto WriteTxn::marking_failed(Step&& step, const bool* visitor_failed) -> decltype(step()) {
  auto result = step();
  if (!result &&
      !(visitor_failed && (*visitor_failed || result.error().kind() == ErrorKind::InvalidArgument)))
    failed_ = true;
  return result;
}

Status WriteTxn::check_writable() const {
  if (!holds_writer_) return fail(Error::closed());
  // Begun before a fork: the write lock is the opener's, not this process's.
  DZ_CHECK(file_->check_process());
  if (file_->failed()) return fail(file_->sync_failed_error());
  return ok();
}

Status WriteTxn::check_name(ByteView tree_name) const {
  return catalog::check_tree_name(tree_name, max_key_len());
}

WriteContext WriteTxn::context(std::uint64_t tree_id) {
  return WriteContext{source(), tree_id, txn_id_, layout_, pages_};
}

WriteContext WriteTxn::write_context(const TreeEntry& entry) { return context(entry.tree_id); }

Status WriteTxn::bound_memory(TreeEntry& entry, std::size_t key_size, std::size_t value_size) {
  // The estimate walks the tree's nodes in memory, so it is made only when
  // what the change may have added (the nodes it loaded, the entry it
  // wrote) could take the transaction past its budget.
  const std::uint64_t page_size = file_->page_size();
  std::uint64_t grown =
      pages_.take_loads() * kLoadedNodePages * page_size + key_size + value_size + kEntryOverhead;
  entry.growth += grown;
  memory_ += grown;
  if (std::uint64_t{btree::leaves_filled_by_appends(entry.root)} * page_size >=
      memory_budget_ / kAppendedLeavesShare) {
    // A sorted load's filled leaves are written in runs as it goes: no
    // later append touches them, and the next ones reuse their memory.
    // Before pages are written, as below. The tree is not measured again:
    // the walk grows with the load, and the count only errs high until the
    // next estimate, which passing the budget makes.
    DZ_CHECK(file_->check_still_published(base_.txn_id));
    DZ_CHECK(write_leaves_early(entry));
  }
  if (memory_ <= memory_budget_ || entry.growth < entry.measure_after) return ok();
  auto measure = [&] {
    std::uint64_t now = btree::memory_estimate(entry.root);
    memory_ = memory_ - entry.memory - entry.growth + now;
    entry.memory = now;
    entry.growth = 0;
  };
  measure();
  entry.measure_after = 0;
  if (memory_ <= memory_budget_) return ok();
  // A tree holding little of it is left (and measured again only once it
  // has grown by a part of the budget): writing it early would free little
  // and cost a page write for most of its changes.
  if (entry.memory < memory_ / 4 && entry.memory < memory_budget_ / 32) {
    entry.measure_after = memory_budget_ / 16;
    return ok();
  }
  // Before pages are written, as at commit: a free page may hold a commit
  // made beside this transaction had the write lock been lost.
  DZ_CHECK(file_->check_still_published(base_.txn_id));
  DZ_CHECK(write_leaves_early(entry));
  measure();
  return ok();
}

Status WriteTxn::write_leaves_early(TreeEntry& entry) {
  // Gathered and written out in page order, as the commit's pages are, but
  // not kept in the cache: each is read back a few times at most.
  pages_.begin_batch(false);
  Status written = btree::write_leaves(context(entry.tree_id), entry.root);
  Status flushed = pages_.flush();
  DZ_CHECK(written);
  DZ_CHECK(flushed);
  entry.wrote_early = true;
  return ok();
}

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
  return find_tree(tree_name, create);
}

Result<TreeEntry*> WriteTxn::find_tree(ByteView tree_name, bool create) {
  if (last_tree_ && last_tree_->name == as_view(tree_name)) {
    // Its name passed the check when it was first asked for; flushing its
    // buffered writes keeps it where it is.
    if (!pending_.empty()) DZ_CHECK(flush_pending(tree_name));
    return last_tree_;
  }
  DZ_CHECK(check_name(tree_name));
  DZ_CHECK(flush_pending(tree_name));
  if (auto it = trees_.find(as_view(tree_name)); it != trees_.end())
    return last_tree_ = &it->second;
  std::string name = as_string(tree_name);
  if (!dropped_.contains(name)) {
    if (auto d = DZ_TRY(stored_descriptor(name))) {
      TreeEntry e;
      e.name = name;
      e.tree_id = d->tree_id;
      e.root = TreeRoot::on_disk(d->root);
      e.entry_count = d->entry_count;
      return last_tree_ = &trees_.emplace(name, std::move(e)).first->second;
    }
  }
  if (!create) return nullptr;
  TreeEntry e;
  e.name = name;
  e.tree_id = next_tree_id_++;
  e.changed = true;
  return last_tree_ = &trees_.emplace(name, std::move(e)).first->second;
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
  return Error::corrupted(file_->path(), std::move(message));
}

Result<bool> WriteTxn::stored_schema_equals(ByteView stored) {
  return schema_bytes_equal(*this, stored);
}

// ---------------------------------------------------------------- writes

Status WriteTxn::put(ByteView tree_name, ByteView key, ByteView value) {
  DZ_CHECK(check_writable());
  return marking_failed([&]() -> Status {
    // A bad name fails in find_tree before anything changes: no buffered
    // write was kept under it.
    if (!pending_.empty()) drop_buffered_key(as_view(tree_name), key);
    TreeEntry* e = DZ_TRY(find_tree(tree_name, true));
    bool added = DZ_TRY(btree::put(context(e->tree_id), e->root, key, value, PutMode::Upsert));
    if (added) ++e->entry_count;
    e->changed = true;
    return bound_memory(*e, key.size(), value.size());
  });
}

Result<bool> WriteTxn::put_in_tree(ByteView tree_name, ByteView key, ByteView value, bool replace,
                                   const ValueVisitor* old_value) {
  DZ_CHECK(check_writable());
  TrackedVisitor tracked{old_value};
  ValueVisitor wrapped = tracked;
  return marking_failed(
      [&]() -> Result<bool> {
        // Refused before the tree is made or brought back: a refused write
        // changes nothing.
        DZ_CHECK(check_name(tree_name));
        DZ_CHECK(btree::check_key(file_->page_size(), key.size()));
        DZ_CHECK(btree::check_value(value.size()));
        TreeEntry* e = DZ_TRY(tree_entry(tree_name, true));
        bool added = DZ_TRY(btree::put(context(e->tree_id), e->root, key, value,
                                       replace ? PutMode::Upsert : PutMode::InsertOnly,
                                       old_value ? &wrapped : nullptr));
        if (added) ++e->entry_count;
        if (added || replace) e->changed = true;
        DZ_CHECK(bound_memory(*e, key.size(), value.size()));
        return added;
      },
      &tracked.failed);
}

Result<bool> WriteTxn::del(ByteView tree_name, ByteView key) {
  DZ_CHECK(check_writable());
  return marking_failed([&]() -> Result<bool> {
    DZ_CHECK(check_name(tree_name));
    drop_buffered_key(as_view(tree_name), key);
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
    if (!e) return false;
    DZ_CHECK(btree::check_key(file_->page_size(), key.size()));
    bool removed = DZ_TRY(btree::remove(context(e->tree_id), e->root, key));
    if (removed) {
      --e->entry_count;
      e->changed = true;
      DZ_CHECK(bound_memory(*e));
    }
    return removed;
  });
}

Result<bool> WriteTxn::delete_in_tree(ByteView tree_name, ByteView key,
                                      const ValueVisitor* stored) {
  DZ_CHECK(check_writable());
  TrackedVisitor tracked{stored};
  ValueVisitor wrapped = tracked;
  return marking_failed(
      [&]() -> Result<bool> {
        // No tree holds a key longer than the file allows: nothing to remove.
        if (key.size() > max_key_len()) return false;
        TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
        if (!e) return false;
        bool removed =
            DZ_TRY(btree::remove(context(e->tree_id), e->root, key, stored ? &wrapped : nullptr));
        if (removed) {
          --e->entry_count;
          e->changed = true;
          DZ_CHECK(bound_memory(*e));
        }
        return removed;
      },
      &tracked.failed);
}

Status WriteTxn::buffer_put(ByteView tree_name, ByteView key, ByteView value) {
  DZ_CHECK(check_writable());
  return marking_failed([&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    DZ_CHECK(btree::check_key(file_->page_size(), key.size()));
    DZ_CHECK(btree::check_value(value.size()));
    pending_[as_string(tree_name)][as_string(key)] = as_string(value);
    return ok();
  });
}

Status WriteTxn::buffer_delete(ByteView tree_name, ByteView key) {
  DZ_CHECK(check_writable());
  return marking_failed([&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    DZ_CHECK(btree::check_key(file_->page_size(), key.size()));
    pending_[as_string(tree_name)][as_string(key)] = std::nullopt;
    return ok();
  });
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
  return marking_failed([&]() -> Status {
    TreeEntry* e = nullptr;
    for (auto& [key, value] : writes) {
      if (!e) e = DZ_TRY(tree_entry(tree_name, value.has_value()));
      if (!e) continue;
      if (value) {
        if (DZ_TRY(btree::put(context(e->tree_id), e->root, bytes_of(key), bytes_of(*value))))
          ++e->entry_count;
        e->changed = true;
        DZ_CHECK(bound_memory(*e, key.size(), value->size()));
      } else if (DZ_TRY(btree::remove(context(e->tree_id), e->root, bytes_of(key)))) {
        --e->entry_count;
        e->changed = true;
        DZ_CHECK(bound_memory(*e));
      }
    }
    return ok();
  });
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
  return marking_failed([&]() -> Status {
    DZ_CHECK(check_name(tree_name));
    std::string name = as_string(tree_name);
    pending_.erase(name);
    TreeEntry* e = DZ_TRY(tree_entry(tree_name, false));
    if (!e) return ok();
    DZ_CHECK(btree::drop_tree(context(e->tree_id), e->root));
    memory_ -= e->memory + e->growth;
    last_tree_ = nullptr;
    trees_.erase(name);
    dropped_.insert(name);
    return ok();
  });
}

// ---------------------------------------------------------------- pages

// An allocation fails only where the file would pass its page limit.
Result<std::uint64_t> WriteTxn::Pages::allocate_page() {
  auto page = txn_.commit_space_.allocate_page();
  if (!page) txn_.outgrew_page_limit_ = true;
  return page;
}

Result<std::uint64_t> WriteTxn::Pages::allocate_run(std::uint32_t count) {
  auto first = txn_.commit_space_.allocate_run(count);
  if (!first) txn_.outgrew_page_limit_ = true;
  return first;
}

Status WriteTxn::Pages::write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                                    std::span<PageStamp> stamps) {
  return write_pages_remembering(first, pages, stamps, remember_);
}

Status WriteTxn::Pages::write_pages_remembering(std::uint64_t first, std::span<std::uint8_t> pages,
                                                std::span<PageStamp> stamps, bool remember) {
  std::size_t page_size = txn_.file_->page_size();
  PageReader& reader = txn_.file_->reader();
  const PageProtection& protection = reader.protection();
  const bool sealed_is_opened = this->sealed_is_opened();
  // Node pages as a read would open them: the plain body, with the nonce
  // and the trailer that sealing adds.
  std::vector<OpenedPage>& nodes = nodes_;
  nodes.clear();
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    auto page = pages.subspan(i * page_size, page_size);
    PageHeader header = PageHeader::read(page);
    bool node = remember && header.kind != std::uint8_t(PageKind::Overflow);
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
  const bool gather = batching_ && pages.size() < kBatchBytes;
  if (!gather) {
    // A long overflow run goes out as it is, after what was gathered before
    // it, which may hold an older image of one of its pages.
    if (batching_) DZ_CHECK(write_batch());
    DZ_CHECK(txn_.file_->storage().write_at(first * page_size, pages));
  }
  std::size_t next_node = 0;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    std::shared_ptr<const CachedPage> cached;
    if (next_node < nodes.size() && nodes[next_node].page_number == first + i)
      cached = remember_written_node(reader.pager(), std::move(nodes[next_node++]));
    if (!gather) continue;
    if (cached && sealed_is_opened) {
      gather_held(first + i, std::move(cached));
      continue;
    }
    auto page = pages.subspan(i * page_size, page_size);
    batch_pages_.push_back(BatchPage{first + i, batch_->size(), nullptr});
    batch_->insert(batch_->end(), page.begin(), page.end());
    batch_bytes_ += page_size;
  }
  nodes.clear();
  if (batching_ && batch_bytes_ >= kBatchBytes) DZ_CHECK(write_batch());
  return ok();
}

Status WriteTxn::Pages::write_node_page(std::uint64_t page_number, AlignedBuffer& page,
                                        PageStamp& stamp, bool keep) {
  const Pager& pager = txn_.file_->reader().pager();
  const bool remember = remember_ && (!batching_ || keep || cache_has_room_);
  if (!batching_ || !remember || !sealed_is_opened())
    return write_pages_remembering(page_number, page.span(), std::span<PageStamp>(&stamp, 1),
                                   remember);
  OpenedPage opened;
  opened.page_number = page_number;
  opened.header = PageHeader::read(page.span());
  stamp = DZ_TRY(pager.protection().seal_page(page_number, page.span()));
  opened.stamp = stamp;
  opened.bytes = std::move(page);
  ++txn_.pages_written_;
  gather_held(page_number, remember_built_node(pager, std::move(opened)));
  if (batch_bytes_ >= kBatchBytes) DZ_CHECK(write_batch());
  return ok();
}

bool WriteTxn::Pages::sealed_is_opened() const {
  return txn_.file_->reader().protection().cipher() == PageCipher::Checksum;
}

void WriteTxn::Pages::gather_held(std::uint64_t page_number,
                                  std::shared_ptr<const CachedPage> cached) {
  batch_pages_.push_back(BatchPage{page_number, 0, cached->bytes().data()});
  batch_held_.push_back(std::move(cached));
  batch_bytes_ += txn_.file_->page_size();
}

void WriteTxn::Pages::begin_batch(bool remember) {
  batching_ = true;
  remember_ = remember;
  cache_has_room_ = !txn_.file_->reader().pager().cache().full();
  batch_ = &txn_.file_->commit_page_buffer();
  batch_->clear();
  batch_pages_.clear();
  batch_held_.clear();
  // Room for a small commit's pages at once, rather than growing page by page.
  batch_pages_.reserve(kBatchPagesAtOnce);
  batch_held_.reserve(kBatchPagesAtOnce);
  batch_bytes_ = 0;
}

Status WriteTxn::Pages::flush() {
  batching_ = false;
  remember_ = true;
  return write_batch();
}

Status WriteTxn::Pages::write_batch() {
  const std::size_t page_size = txn_.file_->page_size();
  const Pager& pager = txn_.file_->reader().pager();
  auto bytes = [&](const BatchPage& b) {
    return b.held ? ConstByteSpan(b.held, page_size)
                  : ConstByteSpan(*batch_).subspan(b.offset, page_size);
  };
  // In page order, so that consecutive pages go out in one write; of two
  // images of one page the later is kept.
  std::vector<std::uint32_t> order(batch_pages_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::ranges::stable_sort(order, {}, [&](std::uint32_t i) { return batch_pages_[i].page; });
  std::vector<ConstByteSpan> run;
  run.reserve(order.size());
  std::uint64_t run_first = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    std::uint64_t page = batch_pages_[order[k]].page;
    if (k + 1 < order.size() && batch_pages_[order[k + 1]].page == page) continue;
    if (!run.empty() && page != run_first + run.size()) {
      DZ_CHECK(pager.write_pages(run_first, run));
      run.clear();
    }
    if (run.empty()) run_first = page;
    run.push_back(bytes(batch_pages_[order[k]]));
  }
  if (!run.empty()) DZ_CHECK(pager.write_pages(run_first, run));
  batch_pages_.clear();
  batch_held_.clear();
  batch_bytes_ = 0;
  if (batch_) batch_->clear();
  return ok();
}

void WriteTxn::Pages::release_pages(std::uint64_t first, std::uint64_t count) {
  loads_ += count;
  // A node copied on write or merged away: the image cached under its page
  // serves only older snapshots from here on, and a reader of one reads it
  // again from the file, where it stays until no snapshot can reach it.
  if (count == 1) txn_.file_->reader().pager().cache().drop(first);
  txn_.commit_space_.release_pages(first, count);
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
    commit_space_.writing_tree(e.root);
    d.root = DZ_TRY(btree::write_tree(context(e.tree_id), e.root));
    d.entry_count = e.entry_count;
    auto bytes = d.encode();
    DZ_CHECK(btree::put(cx, catalog_, bytes_of(name), bytes));
  }
  for (const std::string& name : dropped_)
    if (!trees_.contains(name)) DZ_CHECK(btree::remove(cx, catalog_, bytes_of(name)));
  return ok();
}

Status WriteTxn::publish(bool deferred) {
  if (txn_id_ > kMaxTxnId) return fail(Error::internal("the transaction ids are used up"));
  // Before any page is written: the pages this transaction takes as free
  // may hold a commit made beside it.
  DZ_CHECK(file_->check_still_published(base_.txn_id));
  if (deferred) DZ_CHECK(file_->sync_guarded_selector());
  // A tree that outgrew the budget has its last leaves written the same
  // way, so that the cache does not fill with them on top of the
  // transaction's memory.
  for (auto& [name, e] : trees_)
    if (e.changed && e.wrote_early) DZ_CHECK(write_leaves_early(e));
  // The trees are written whole and not read again: their pages go out
  // together, before the record.
  pages_.begin_batch();
  // The roots of the trees written, the catalog's and the free-space trees',
  // and the nodes that later commits are likely to rewrite soon, go in one
  // run where one is free (docs/file-format.md section 8.1).
  std::uint64_t set_aside_roots = 0, soon_rewritten = 0;
  bool catalog_changes = !dropped_.empty() || catalog_.in_memory();
  for (auto& [name, e] : trees_) {
    if (!e.changed) continue;
    catalog_changes = true;
    if (!e.root.in_memory()) continue;
    ++set_aside_roots;
    // The pages that commits replace before the next sync all come back
    // free at that sync, so a deferred commit looks further ahead. A commit
    // that keeps its pages low sets no run aside.
    if (!pages_low_)
      soon_rewritten += commit_space_.soon_rewritten_nodes(
          e.root, deferred ? CommitSpace::kSoonDeferredCommits : CommitSpace::kSoonCommits);
  }
  if (catalog_changes) ++set_aside_roots;
  if (!pages_low_) commit_space_.set_aside(set_aside_roots, soon_rewritten);
  DZ_CHECK(write_catalog());
  CommitRecord record;
  commit_space_.writing_tree(catalog_);
  record.catalog = DZ_TRY(btree::write_tree(context(kCatalogTreeId), catalog_));
  DZ_CHECK(commit_space_.settle());
  auto roots = DZ_TRY(commit_space_.write_trees());
  DZ_CHECK(pages_.flush());
  record.free_tree = roots.free_tree;
  record.retained_tree = roots.retained_tree;
  record.txn_id = txn_id_;
  record.page_count = space_.page_count;
  record.next_tree_id = next_tree_id_;
  // Every commit carries the key block on, unless this one changes it.
  record.key_block = new_key_block_ ? *new_key_block_ : base_.key_block;

  // A sync beside this writer waits until the commit is published.
  auto publishing = file_->hold_publishing();
  // Head reads of other threads meanwhile leave this commit to committed();
  // a write that fails gives it up.
  file_->publishing(txn_id_);
  struct GiveUp {
    OpenFile& file;
    ~GiveUp() { file.publishing(0); }
  } give_up{*file_};
  std::uint8_t slot = DZ_TRY(file_->slot_for_next_commit());
  PublishedCommit published = file_->published();
  // An encrypted file's record is signed for its slot.
  if (const FileKeys* keys = file_->file_keys())
    record::sign_commit_record(record, keys->record_mac_key, file_->file_id(), slot);
  Storage& storage = file_->storage();
  auto bytes = record::encode_commit_record(record);
  DZ_CHECK(storage.write_at(record_slot_offset(slot), bytes));
  if (!deferred) DZ_CHECK(file_->sync_file());
  std::uint8_t selector = header::encode_selector({slot, deferred});
  DZ_CHECK(file_->fail_file_unless(storage.write_at(kSelectorOffset, {&selector, 1})));
  published.record = record;
  published.slot = slot;
  published.deferred = deferred;
  published.slot_txn_ids[slot] = txn_id_;
  file_->committed(published, pages_written_);
  file_->keep_free_runs(txn_id_, record.free_tree, std::move(space_.free_runs));
  publishing.unlock();
  // Pages past the end of the commit belong to nobody now. A short tail
  // stays: the next commits that grow the file write into it instead of
  // extending the file, whose sync would also have to make the new length
  // and blocks durable.
  if (!deferred)
    cut_file(storage, space_.page_count, file_->page_size(), kept_tail_pages(space_.page_count));
  return ok();
}

void WriteTxn::limit_page_count(std::uint64_t count) {
  space_.max_page_count = std::min(space_.max_page_count, count);
}

void WriteTxn::cut_free_tail() {
  // Before any change: the pages this transaction allocates past the count
  // are its own.
  DZ_ASSERT(space_.page_count == base_.page_count);
  // A deferred commit's count may lie below pages that the last durable
  // commit, the one recovery falls back to, still needs.
  if (file_->published().deferred) return;
  cut_file(file_->storage(), base_.page_count, file_->page_size(), 0);
}

}  // namespace deziro
