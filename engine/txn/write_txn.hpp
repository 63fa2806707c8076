// The one write transaction of a file. Its trees change in memory; commit
// writes the touched nodes to pages no published commit or live snapshot
// uses, settles the free-space trees, writes a commit record into a slot,
// syncs, and names that slot in the selector byte.
//
// A write transaction holds the writer of its file (the in-process writer
// slot and the write lock byte) from begin until commit or abort: its
// reads and writes require the writer (check_writable refuses them after),
// and it runs on one thread at a time. Its own state needs no mutex; what
// it reads of the file's published state takes the file's state lock there.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "btree/tree.hpp"
#include "txn/catalog.hpp"
#include "txn/commit_space.hpp"
#include "txn/open_file.hpp"
#include "txn/read_txn.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

// The transaction's entry of one named tree.
struct TreeEntry {
  std::string name;
  std::uint64_t tree_id = 0;
  TreeRoot root;
  std::uint64_t entry_count = 0;
  // The commit writes the tree and its catalog entry.
  bool changed = false;
  // Its nodes in memory as last estimated, values too long for a leaf
  // included (held whole until its leaves are written).
  std::uint64_t memory = 0;
  // A bound of what its changes added since, and how much of it waits for
  // the next estimate (after one that found the tree a small part).
  std::uint64_t growth = 0;
  std::uint64_t measure_after = 0;
  // Some of its leaves went to their pages before the commit.
  bool wrote_early = false;
};

// Reusable buffers of the typed writes, defined by the object layer; the
// transaction only keeps them and drops them with itself.
class TxnScratch {
 public:
  virtual ~TxnScratch() = default;
};

class WriteTxn;

namespace write {
// Defined in txn/relocate.hpp; it allocates from the transaction's free runs.
Result<std::uint64_t> write_overflow(WriteTxn& txn, std::uint64_t tree_id, std::uint64_t limit);
}  // namespace write

class WriteTxn final : public TreeAccess {
 public:
  // Waits for the writer slot up to the busy timeout: BUSY after it, CLOSED
  // in a forked child, SYNC_FAILED once the file has failed.
  static Result<std::unique_ptr<WriteTxn>> begin(
      std::shared_ptr<OpenFile> file, std::shared_ptr<const ResolvedSchema> schema = nullptr);
  // Aborts when not committed.
  ~WriteTxn() override;
  WriteTxn(const WriteTxn&) = delete;
  WriteTxn& operator=(const WriteTxn&) = delete;

  // A writer begins a transaction after each commit: the thread that frees
  // one keeps its block (a few KiB, past the allocator's per-thread cache)
  // for the next it begins. See SpareBlocks.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;
  // How many freed transaction blocks the calling thread keeps (none under
  // the address sanitizer). For tests.
  static std::size_t spare_blocks();

  // --- TreeAccess: these see the transaction's own writes.
  Result<std::optional<std::vector<std::uint8_t>>> open_tree(ByteView tree_name,
                                                             ByteView key) override;
  Result<bool> get(ByteView tree_name, ByteView key, ValueVisitor visitor) override;
  Result<std::optional<RangeCursor>> range(ByteView tree_name, const KeyBound& lower,
                                           const KeyBound& upper, bool reverse) override;
  Result<std::uint64_t> tree_len(ByteView tree_name) override;
  Result<std::unique_ptr<TreeReader>> tree_reader(ByteView tree_name) override;
  Error error_at(std::string message) const override;
  const std::string& path() const override { return file_->path(); }
  Result<bool> stored_schema_equals(ByteView stored) override;
  std::size_t max_key_len() const override { return file_->max_key_len(); }

  // --- Writes. Each fails with SYNC_FAILED once the file has failed.
  // Stores the value, creating the tree and replacing a stored value; drops
  // a buffered write of the key first. Any error marks the transaction failed.
  Status put(ByteView tree_name, ByteView key, ByteView value);
  // Whether a new key was added. Without `replace` a present key is left as
  // it is; with it, `old_value` sees the old value before it is replaced.
  Result<bool> put_in_tree(ByteView tree_name, ByteView key, ByteView value, bool replace,
                           const ValueVisitor* old_value = nullptr);
  // Whether an entry was removed; drops a buffered write of the key first.
  Result<bool> del(ByteView tree_name, ByteView key);
  // Whether the key was removed: `stored` sees the value first, and the key
  // goes only when it succeeds. A key longer than the file allows is in no
  // tree: false.
  Result<bool> delete_in_tree(ByteView tree_name, ByteView key,
                              const ValueVisitor* stored = nullptr);
  // Buffered writes: kept per tree and key, seen by get, applied when the
  // tree is flushed and at the latest at commit.
  Status buffer_put(ByteView tree_name, ByteView key, ByteView value);
  Status buffer_delete(ByteView tree_name, ByteView key);
  Status buffer_meta_put(ByteView key, ByteView value);
  Status flush_pending(ByteView tree_name);
  // The transaction's entry of the tree; none when absent and not created.
  Result<TreeEntry*> tree_entry(ByteView tree_name, bool create);
  // Drops the tree with all its entries and frees its pages.
  Status drop_tree(ByteView tree_name);
  // A context for B-tree calls on an entry (compaction and the object layer).
  WriteContext write_context(const TreeEntry& entry);
  // After a change of the entry's tree (of a key and value of these sizes):
  // when the transaction's nodes in memory have outgrown its budget (the
  // cache size) and this tree holds a good part of them, its leaves are
  // written into their pages early (btree::write_leaves), so that a
  // transaction of any size runs in bounded memory. The commit stays one
  // sync; the pages are free ones, as the commit's own. Requires that no
  // cursor over this tree is open, as any change does; other trees are left
  // as they are.
  Status bound_memory(TreeEntry& entry, std::size_t key_size = 0, std::size_t value_size = 0);

  // Publishes durably: a full sync before the selector byte. Consumes the
  // transaction: whatever happens, it is over afterwards.
  Status commit();
  // As commit, but without the sync; the commit becomes durable at the next
  // sync of the file.
  Status commit_deferred();
  // Cuts off the free pages past the published commit's page count, even
  // the short tail a durable commit keeps for later commits to grow into:
  // compaction's last step, whose point is the shortest file. Only past a
  // durable commit; called before any change.
  void cut_free_tail();
  // Every page this transaction writes comes from the lowest free pages,
  // its trees' roots too, which a commit otherwise sets aside one run for:
  // for compaction, whose point is the shortest file.
  void keep_pages_low() { pages_low_ = true; }
  // No page of this transaction, those its commit writes for the catalog
  // and the free-space trees included, may lie at or past page `count`: an
  // allocation that would take the file past it fails as one past the
  // file's largest size does, and `outgrew_page_limit` tells so afterwards,
  // after a failed commit too. For compaction, whose steps must never leave
  // the file longer than it began.
  void limit_page_count(std::uint64_t count);
  bool outgrew_page_limit() const { return outgrew_page_limit_; }
  // Publishes nothing and frees the writer.
  void abort();

  // The key block this commit carries in place of the published one: how a
  // key or password change reaches the file.
  void replace_key_block(const KeyBlock& block) { new_key_block_ = block; }

  // --- State.
  bool failed() const { return failed_; }
  void mark_failed() { failed_ = true; }
  std::uint64_t txn_id() const { return txn_id_; }
  std::uint64_t page_count() const { return space_.page_count; }
  const space::FreeRuns& free_runs() const { return space_.free_runs; }
  const CommitRecord& base() const { return base_; }
  LeafLayout leaf_layout() const { return layout_; }
  OpenFile& file() const { return *file_; }
  const std::shared_ptr<OpenFile>& shared_file() const { return file_; }
  NodeSource& source() const { return file_->reader(); }

  const std::shared_ptr<const ResolvedSchema>& schema() const { return schema_; }
  // The open path stores a new schema inside the transaction and then works
  // with it (a migration).
  void adopt_schema(std::shared_ptr<const ResolvedSchema> schema) {
    schema_ = std::move(schema);
    schema_confirmed = false;
  }
  bool schema_confirmed = false;
  std::unique_ptr<TxnScratch> scratch;

 private:
  friend Result<std::uint64_t> write::write_overflow(WriteTxn& txn, std::uint64_t tree_id,
                                                     std::uint64_t limit);

  // Pages for the trees, as the commit space hands them out; writes them
  // sealed into the file.
  class Pages final : public PageSink {
   public:
    explicit Pages(WriteTxn& txn) : txn_(txn) {}
    Result<std::uint64_t> allocate_page() override;
    Result<std::uint64_t> allocate_run(std::uint32_t count) override;
    Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                       std::span<PageStamp> stamps) override;
    // In a batch that keeps node pages in the cache, of a file whose sealed
    // page is the page as a read opens it (checksums): the cache entry takes
    // `page` itself, and the batch writes the page from it. A page not to
    // `keep` goes to the cache only while the cache had room as the batch
    // began.
    Status write_node_page(std::uint64_t page_number, AlignedBuffer& page, PageStamp& stamp,
                           bool keep) override;
    void release_pages(std::uint64_t first, std::uint64_t count) override;

    // From here until `flush`, sealed pages are kept and written together,
    // each run of consecutive page numbers in one write. Only for a stretch
    // that reads back from the file no page it wrote: the commit's writing
    // of its trees, each written whole, children first, and left alone
    // after. The cache has every node page meanwhile, unless not to
    // `remember` them: leaves written early, which are read at most once.
    void begin_batch(bool remember = true);
    // Writes what the batch holds (a page written twice with its last
    // image) and ends the batch.
    Status flush();
    // The pages released since the last call: a bound of the nodes loaded.
    std::uint64_t take_loads() { return std::exchange(loads_, 0); }

   private:
    // Whether the sealed page is the page as a read opens it: a checksum
    // leaves the body as it is, so the batch can write a node page from its
    // cache entry instead of a copy of its own.
    bool sealed_is_opened() const;
    // Writes what the batch holds so far, which goes on.
    Status write_batch();
    // write_pages, putting node pages in the cache when `remember`.
    Status write_pages_remembering(std::uint64_t first, std::span<std::uint8_t> pages,
                                   std::span<PageStamp> stamps, bool remember);
    // Adds a page written from its cache entry to the batch.
    void gather_held(std::uint64_t page_number, std::shared_ptr<const CachedPage> cached);

    WriteTxn& txn_;
    bool batching_ = false;
    bool remember_ = true;
    // Whether the cache held less than 7/8 of its budget as the batch began:
    // pages it takes then push out no other.
    bool cache_has_room_ = true;
    std::uint64_t loads_ = 0;
    // The sealed pages of the batch in the order written, each with its
    // number: copied into the instance's buffer (set by begin_batch) at
    // `offset`, or, for a node page whose opened image is the sealed page,
    // `held` in its cache entry, which `batch_held_` keeps alive until the
    // batch is written.
    struct BatchPage {
      std::uint64_t page = 0;
      std::size_t offset = 0;
      const std::uint8_t* held = nullptr;
    };
    std::vector<std::uint8_t>* batch_ = nullptr;
    std::vector<BatchPage> batch_pages_;
    std::vector<std::shared_ptr<const CachedPage>> batch_held_;
    std::size_t batch_bytes_ = 0;
    // The node pages of one write, kept for the cache (reused).
    std::vector<OpenedPage> nodes_;
  };

  WriteTxn(std::shared_ptr<OpenFile> file, std::shared_ptr<const ResolvedSchema> schema);
  Status check_writable() const;
  Status check_name(ByteView tree_name) const;
  // Runs `step` and marks the transaction failed when it fails. Given the
  // flag of a caller's visitor, a refusal of that visitor or an
  // INVALID_ARGUMENT (nothing was changed) leaves the transaction usable.
  template <typename Step>
  auto marking_failed(Step&& step, const bool* visitor_failed = nullptr) -> decltype(step());
  WriteContext context(std::uint64_t tree_id);
  Result<std::optional<TreeDescriptor>> stored_descriptor(std::string_view name);
  void drop_buffered_key(std::string_view name, ByteView key);
  Status flush_all_pending();
  Status commit_with(bool deferred);
  // Requires the writer; holds the file's publishing lock from the
  // choice of the record slot until the commit is published.
  Status publish(bool deferred);
  Status write_catalog();
  void finish();

  std::shared_ptr<OpenFile> file_;
  std::shared_ptr<const ResolvedSchema> schema_;
  // Whether `writer_` is still held: false once committed or aborted.
  bool holds_writer_ = false;
  WriterGuard writer_;
  // Set at begin when deferred commits left `DEFERRED_PAGE_LIMIT` pages
  // unsynced: the commit is then durable.
  bool durable_only_ = false;
  bool pages_low_ = false;
  // An allocation failed: the file would have passed its page limit.
  bool outgrew_page_limit_ = false;
  std::uint64_t pages_written_ = 0;
  bool failed_ = false;
  CommitRecord base_;
  std::uint64_t txn_id_ = 0;
  std::uint64_t next_tree_id_ = 0;
  LeafLayout layout_ = LeafLayout::Varint;
  std::optional<KeyBlock> new_key_block_;
  Pages pages_{*this};

  TreeRoot catalog_;
  std::map<std::string, TreeEntry, std::less<>> trees_;
  // The entry find_tree returned last (null once entries leave trees_):
  // writes in a row mostly name one tree, and comparing its name skips the
  // map's search and the name's check.
  TreeEntry* last_tree_ = nullptr;
  // tree_entry without the writability check, which the caller made.
  Result<TreeEntry*> find_tree(ByteView tree_name, bool create);
  // Names whose catalog entry the commit removes.
  std::set<std::string, std::less<>> dropped_;
  std::map<std::string, std::map<std::string, std::optional<std::string>, std::less<>>, std::less<>>
      pending_;

  // Writes the entry's leaves in memory into their pages (bound_memory).
  Status write_leaves_early(TreeEntry& entry);
  // See bound_memory; `memory_` bounds the trees' nodes in memory (their
  // estimates and growths).
  std::uint64_t memory_budget_ = 0;
  std::uint64_t memory_ = 0;

  // Free runs, page count, and the pages allocated and released.
  space::PageSpace space_;
  // The free-space trees, loaded at begin and settled at commit.
  CommitSpace commit_space_{space_, file_->reader(), pages_};
};

}  // namespace deziro
