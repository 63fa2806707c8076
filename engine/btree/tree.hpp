// Copy-on-write B-trees of byte keys and values.
//
// A tree is reached through its root: a `ChildPointer` to a page of a
// published commit (page 0: the empty tree), or, inside a write
// transaction, an in-memory node. A write transaction changes its trees in
// memory only: every node it touches is loaded into a `MemNode` (its page is
// reported released to the `PageSink`), changed there, split, merged or
// rebalanced, and `write_tree` lays the touched nodes out into newly
// allocated pages at commit, children first, so that each parent keeps its
// children's page numbers, commit ids and stamps. Values too long for a leaf
// are held in memory until then and written into overflow runs. The keys
// and values of a tree's leaves in memory are cut from the tree's
// `EntryArena`, or read in the page images of loaded leaves that it holds,
// and it lets them go all at once when its leaves are written.
//
// Use from a transaction:
//   TreeRoot root = TreeRoot::on_disk(descriptor_root);      // or {} for none
//   WriteContext cx{source, tree_id, txn_id, layout, sink};
//   DZ_TRY(btree::put(cx, root, key, value, PutMode::Upsert));
//   ChildPointer new_root = DZ_TRY(btree::write_tree(cx, root));
// Reads (`get`, `RangeCursor`) work on any root, in memory or not. One
// transaction uses one leaf layout for every change and for `write_tree`.
// Cursors over a tree with nodes in memory are dropped before it changes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "error.hpp"
#include "format/node.hpp"
#include "format/page.hpp"
#include "function_ref.hpp"

namespace deziro {

struct MemNode;

// A branch's child: its pointer on disk, or the node loaded for writing.
// `probe` and the `probe_lines` cache lines from the one holding it on:
// what a search of the loaded node last read first (a leaf's entries, a
// branch's middle separator), so a descent asks for them together with the
// node instead of after it. Only ever prefetched: they may be stale (none
// before the child's first change).
struct MemChild {
  ChildPointer pointer;
  std::unique_ptr<MemNode> node;
  const void* probe = nullptr;
  std::uint32_t probe_lines = 0;
  // Whether `pointer` was written by this transaction: it is no longer the
  // one the parent's page image holds.
  bool rewritten = false;
};

// A branch's separator, its prefix beside it. Separators of up to
// `kInline` bytes (most keys) are held in place, so that a branch loaded for
// writing makes no heap block per separator; longer ones have their own.
class MemKey {
 public:
  static constexpr std::size_t kInline = 24;

  MemKey() = default;
  explicit MemKey(ByteView bytes);
  MemKey(const std::string& bytes) : MemKey(bytes_view(bytes)) {}
  MemKey(MemKey&& other) noexcept;
  MemKey& operator=(MemKey&& other) noexcept;
  MemKey(const MemKey&) = delete;
  MemKey& operator=(const MemKey&) = delete;
  ~MemKey() {
    if (size_ > kInline) delete[] heap_;
  }

  ByteView view() const { return {size_ > kInline ? heap_ : inline_, size_}; }
  std::size_t size() const { return size_; }
  std::uint64_t prefix() const { return prefix_; }

 private:
  std::uint64_t prefix_ = 0;
  std::uint32_t size_ = 0;
  union {
    std::uint8_t inline_[kInline] = {};
    std::uint8_t* heap_;
  };
};

// The bytes of a tree's leaf entries held in memory, cut from a few large
// blocks instead of one heap block per entry: an insert allocates nothing
// of its own, and the entries' bytes go all at once when the tree's leaves
// are written. The bytes of an entry that goes or changes size stay until
// then; `held` counts them. The entries of a leaf loaded for writing keep
// pointing into its page image, which the arena holds until then too.
class EntryArena {
 public:
  EntryArena() = default;
  EntryArena(EntryArena&& other) noexcept { *this = std::move(other); }
  EntryArena& operator=(EntryArena&& other) noexcept;

  std::uint8_t* allocate(std::size_t n);
  // Keeps the page image alive, counted as `bytes`, for entries that read
  // their keys and values in it.
  void hold(std::shared_ptr<const std::uint8_t> page, std::size_t bytes);
  // The bytes of every block, in use or not, and of the pages held.
  std::size_t held() const { return held_; }
  // Frees every block and page: no entry may point into them any more.
  void clear();

 private:
  // Blocks grow from the first to the largest size as the arena does, so
  // that a tree changed a little holds little.
  static constexpr std::size_t kFirstBlock = std::size_t{2} << 10;
  static constexpr std::size_t kBlock = std::size_t{32} << 10;
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::vector<std::shared_ptr<const std::uint8_t>> pages_;
  std::uint8_t* at_ = nullptr;  // the free end of the last small block
  std::size_t left_ = 0;
  std::size_t held_ = 0;
  std::size_t block_bytes_ = 0;  // of the blocks alone
};

// A leaf entry held in memory: its key and its value (or the reference to
// its overflow run) side by side in one block, and the key's leading bytes
// beside the block's pointer so that a search decides most probes without
// reaching the block. The block is the entry's own, cut from the arena it
// was made with, or the cell of a page image the arena holds (both outlive
// the entry); a cell is only read, and a change of the entry's value takes
// a block of its own. An inline value too long for the leaf stays here
// until `write_tree` puts it into an overflow run. Nothing in an entry
// points into itself: a leaf moves its entries as blocks of bytes.
class MemEntry {
 public:
  MemEntry() = default;
  MemEntry(ByteView key, ByteView value, EntryArena* arena = nullptr) {
    assign(key, value.data(), value.size(), false, arena);
  }
  MemEntry(ByteView key, const OverflowRef& ref, EntryArena* arena = nullptr) {
    set_ref(key, ref, arena);
  }
  // An inline entry read in place: `value` follows `key` in one cell of a
  // page image that `arena` holds. `as_written` tells that the cell is
  // byte for byte the one a leaf of the transaction's layout lays out for
  // it, its header right before the key: a write copies it whole.
  static MemEntry in_page(ByteView key, ByteView value, bool as_written = false) {
    MemEntry e;
    e.data_ = const_cast<std::uint8_t*>(key.data());
    e.prefix_ = key_head(key);
    e.tail_len_ = static_cast<std::uint32_t>(value.size());
    e.key_len_ = static_cast<std::uint16_t>(key.size());
    e.block_ = as_written ? Block::InWrittenCell : Block::InPage;
    return e;
  }
  MemEntry(MemEntry&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        prefix_(other.prefix_),
        tail_len_(other.tail_len_),
        key_len_(other.key_len_),
        overflow_(other.overflow_),
        block_(std::exchange(other.block_, Block::Cut)) {}
  MemEntry& operator=(MemEntry&& other) noexcept {
    if (this != &other) {
      if (block_ == Block::Own) delete[] data_;
      data_ = std::exchange(other.data_, nullptr);
      prefix_ = other.prefix_;
      tail_len_ = other.tail_len_;
      key_len_ = other.key_len_;
      overflow_ = other.overflow_;
      block_ = std::exchange(other.block_, Block::Cut);
    }
    return *this;
  }
  ~MemEntry() {
    if (block_ == Block::Own) delete[] data_;
  }

  ByteView key() const { return {data_, key_len_}; }
  // The inline value; empty for a value in an overflow run.
  ByteView value() const { return overflow_ ? ByteView{} : ByteView{data_ + key_len_, tail_len_}; }
  // Whether the value is `ref()`'s run, unchanged.
  bool overflow() const { return overflow_; }
  OverflowRef ref() const;
  LeafCell cell() const;
  // Whether the block is the entry's own (not cut from an arena nor a page).
  bool owns_block() const { return block_ == Block::Own; }
  // Whether the key and value are read in a page image.
  bool in_page() const { return block_ == Block::InPage || block_ == Block::InWrittenCell; }
  // Whether they are read in a cell laid out as the transaction writes it
  // (in_page's `as_written`).
  bool in_written_cell() const { return block_ == Block::InWrittenCell; }

  // The key's `key_head`.
  std::uint64_t prefix() const { return prefix_; }

  // A new block, when one is needed, comes from `arena` (or the heap).
  void set_value(ByteView value, EntryArena* arena = nullptr) {
    assign(key(), value.data(), value.size(), false, arena);
  }
  void set_ref(const OverflowRef& ref, EntryArena* arena = nullptr) { set_ref(key(), ref, arena); }

 private:
  void set_ref(ByteView key, const OverflowRef& ref, EntryArena* arena);
  void assign(ByteView key, const std::uint8_t* tail, std::size_t tail_len, bool overflow,
              EntryArena* arena);

  // Where `data_` lies: cut from an arena (or none), the entry's own heap
  // block, or a cell of a page image (never written), laid out as the
  // transaction writes it or not.
  enum class Block : std::uint8_t { Cut, Own, InPage, InWrittenCell };

  std::uint8_t* data_ = nullptr;  // the key, then the value or the reference
  std::uint64_t prefix_ = 0;
  std::uint32_t tail_len_ = 0;
  std::uint16_t key_len_ = 0;
  bool overflow_ = false;
  Block block_ = Block::Cut;
};

// A node of a write transaction. The level, the byte count and the entries
// come first: a descent reads them from one cache line.
//
// A branch loaded for writing keeps its page image and reads its separators
// there: most branches a transaction loads only pass descents on and have
// a child pointer or two replaced, so their separators are copied out
// (`keys()`) only when a change moves, adds or removes one.
struct MemNode {
  std::uint8_t level = 0;
  std::size_t bytes = 0;           // slots, cells and pointers in the layout written
  std::vector<MemEntry> entries;   // leaf
  std::vector<MemChild> children;  // branch: one more than its separators
  // Whether the cache held the page it was loaded from. A leaf it did not
  // hold is written without asking the cache to keep it: over a file larger
  // than the cache, random changes would have its new image push out a page
  // more likely read again. A leaf that hit (one a run of commits keeps
  // changing, such as the one appended to) stays.
  bool image_was_cached = true;

  MemNode() = default;
  MemNode(MemNode&&) = default;
  MemNode& operator=(MemNode&&) = default;
  // Gives its lists' buffers to its thread's spare lists, for the lists
  // of the next nodes loaded (node::collect_children, collect_entries).
  ~MemNode();

  bool is_leaf() const { return level == 0; }

  // The branch's separators, copied out of its page image first if they
  // are still read there: for a change of them.
  std::vector<MemKey>& keys() {
    if (image_) take_keys_from_image();
    return keys_;
  }
  // Separator `i` wherever it is read.
  ByteView key(std::size_t i) const { return image_ ? image_->key_at(i) : keys_[i].view(); }
  std::size_t key_count() const { return image_ ? image_->count() : keys_.size(); }
  // The page image the separators are read in, or null.
  const NodeView* image() const { return image_.get(); }
  // Reads the separators in `branch`'s page from now on.
  // A search index of the page's cache entry is used if some search built
  // it already, but none is built here: the transaction releases the page,
  // whose cache entry goes with it, after searching it a few times at most.
  void keep_image(const NodeView& branch);
  // The separators copied out: empty while they are read in the image.
  const std::vector<MemKey>& held_keys() const { return keys_; }

  // A commit loads a few dozen nodes and drops them as it ends: each thread
  // keeps the blocks of the last ones it freed (and of their images) for
  // its next ones, which the allocator would otherwise find among blocks
  // long untouched. See SpareBlocks.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

 private:
  struct DropImage {
    void operator()(const NodeView* image) const noexcept;
  };
  void take_keys_from_image();
  std::vector<MemKey> keys_;
  // Apart, so that the nodes of a load (none of them read from a page) stay
  // as small as they were.
  std::unique_ptr<const NodeView, DropImage> image_;
};

// How many freed node blocks, and blocks of their images, the calling
// thread keeps for its next nodes (none under the address sanitizer). For
// tests.
std::size_t spare_mem_node_blocks();
std::size_t spare_node_image_blocks();
// How many emptied child and entry lists the calling thread keeps for the
// next nodes loaded (none under the address sanitizer). For tests.
std::size_t spare_child_lists();
std::size_t spare_entry_lists();

// The root of one tree.
class TreeRoot {
 public:
  TreeRoot() = default;
  static TreeRoot on_disk(const ChildPointer& pointer) {
    TreeRoot root;
    root.disk_ = pointer;
    return root;
  }
  TreeRoot(TreeRoot&&) = default;
  TreeRoot& operator=(TreeRoot&&) = default;

  bool empty() const { return !mem_ && disk_.page == 0; }
  // Whether the tree holds nodes not yet written.
  bool in_memory() const { return mem_ != nullptr; }
  // The root page on disk (page 0 when empty or in memory).
  const ChildPointer& disk() const { return disk_; }
  const MemNode* mem() const { return mem_.get(); }

 private:
  friend struct TreeOps;
  ChildPointer disk_;
  std::unique_ptr<MemNode> mem_;
  // The bytes of the entries of the leaves in `mem_`.
  EntryArena arena_;
  // The tree's last leaf when it and its whole path are in memory, kept by
  // the changes so that a key past its end (a sorted load) is added there
  // without a descent; null when not known.
  MemNode* last_leaf_ = nullptr;
  // Leaves that appends filled and left behind since the leaves were last
  // written: no later append touches them again.
  std::uint32_t filled_by_appends_ = 0;
};

// What a read of a tree needs.
struct ReadContext {
  NodeSource& source;
  std::uint64_t tree_id;
};

// What a change of a tree needs besides: the commit id of the pages it
// writes, the leaf layout it writes, and where pages come from and go.
struct WriteContext {
  NodeSource& source;
  std::uint64_t tree_id;
  std::uint64_t txn_id;
  LeafLayout layout;
  PageSink& sink;
  // Where the entries of the tree being changed take their bytes; the
  // heap when none (nodes built outside a tree).
  EntryArena* arena = nullptr;
  ReadContext read() const { return {source, tree_id}; }
};

using ValueVisitor = FunctionRef<Status(ByteView value)>;
// Given the stored value, writes the new one into `out` and answers whether
// it changed it.
using ValueModifier = FunctionRef<Result<bool>(ByteView old_value, std::string& out)>;

enum class PutMode : std::uint8_t {
  Upsert,      // replace a present key's value
  InsertOnly,  // leave a present key as it is
};

enum class ModifyOutcome : std::uint8_t { NotFound, Unchanged, Changed };

namespace btree {

// INVALID_ARGUMENT "a key is at most {} bytes long with this page size, not
// {}" / "a value is less than 4 GiB long, not {} bytes".
Status check_key(std::uint32_t page_size, std::size_t key_len);
Status check_value(std::uint64_t value_len);

// Hands the stored value (an overflow value read whole) to the visitor;
// false when the key is absent. The visitor's error is returned unchanged.
Result<bool> get(const ReadContext& cx, const TreeRoot& root, ByteView key, ValueVisitor visitor);
// The same from a pointer to a root page.
Result<bool> get(const ReadContext& cx, const ChildPointer& root, ByteView key,
                 ValueVisitor visitor);

// Whether the key is present, without reading its value: an overflow run is
// not touched.
Result<bool> contains(const ReadContext& cx, const TreeRoot& root, ByteView key);

// Stores the value under the key. Answers whether a new key was added. With
// InsertOnly a present key is left unchanged (and nothing is copied on
// write); with Upsert its old value is first handed to `old_value` when one
// is given. Key and value limits are checked before anything changes.
Result<bool> put(const WriteContext& cx, TreeRoot& root, ByteView key, ByteView value,
                 PutMode mode = PutMode::Upsert, const ValueVisitor* old_value = nullptr);

// The modifying insert: an absent key answers NotFound without calling the
// modifier; a present key's whole value goes to the modifier, and when it
// answers changed the value becomes `out`. A refusal of the modifier, or a
// new value of 4 GiB or more, leaves the tree unchanged.
Result<ModifyOutcome> insert_entry(const WriteContext& cx, TreeRoot& root, ByteView key,
                                   ValueModifier modifier);

// The update form of the modifying insert: a present key's value goes to
// `update`, which writes the value to store into `out`; false when the key
// is absent (nothing is called or written).
using ValueUpdate = FunctionRef<Status(ByteView old_value, std::string& out)>;
Result<bool> put_value(const WriteContext& cx, TreeRoot& root, ByteView key, ValueUpdate update);

// Removes the key; false when absent, and the tree is left as it was. When
// given, `stored` sees the value first and the key is removed only when it
// succeeds.
Result<bool> remove(const WriteContext& cx, TreeRoot& root, ByteView key,
                    const ValueVisitor* stored = nullptr);

// Makes the key hold `value`, or be absent when none is given; answers
// whether the tree changed. A key already so leaves the tree as it was: no
// node is loaded for writing (the free-space trees' settling counts the
// nodes in memory). When given, `stored` sees the value held first (an
// overflow value read whole), and nothing changes unless it succeeds.
Result<bool> set_entry(const WriteContext& cx, TreeRoot& root, ByteView key,
                       std::optional<ByteView> value, const ValueVisitor* stored = nullptr);

// One change of set_entries: the key, and the value it is to hold or none
// for no entry.
struct EntrySetting {
  ByteView key;
  std::optional<ByteView> value;
};
// Sees the key and the value held before a setting changes it.
using SettingVisitor = FunctionRef<Status(ByteView key, ByteView value)>;
// set_entry for each setting in turn, answering whether any changed the
// tree. Settings in ascending key order share descents: those whose keys
// lie inside the leaf the one before changed are set there without walking
// the tree again.
Result<bool> set_entries(const WriteContext& cx, TreeRoot& root,
                         std::span<const EntrySetting> settings,
                         const SettingVisitor* stored = nullptr);

// Writes the tree's in-memory nodes into new pages (children first) and
// makes the root a pointer on disk again; page 0 for an empty tree. A tree
// with nothing in memory is left as it is.
Result<ChildPointer> write_tree(const WriteContext& cx, TreeRoot& root);

// Writes one node held in memory, and every node in memory below it, into
// new pages; returns its pointer. For callers that build trees bottom-up
// (a rebuild): a leaf's values too long for it go into overflow runs.
Result<ChildPointer> write_node(const WriteContext& cx, MemNode& node);

// An estimate of the memory the tree's nodes held in memory take: their
// entries, separators and children, and the tree's arena, which holds
// every key and value of its leaves in memory (values too long for a leaf
// too) and the bytes of entries gone or changed since its leaves were last
// written. It walks the nodes, not their entries.
std::size_t memory_estimate(const TreeRoot& root);

// The leaves that appends past the tree's end (a sorted load) filled and
// left behind since its leaves were last written: a load's leaves are done
// with once filled, so a transaction may write them early at little cost.
std::uint32_t leaves_filled_by_appends(const TreeRoot& root);

// Writes the leaves the tree holds in memory into new pages, as write_tree
// would, and keeps the branches above them in memory with the leaves' new
// pointers: how a write transaction bounds its memory. A leaf touched again
// is loaded back (and its page released, free again at once). A root that
// is a leaf is written too (the root is then on disk). Cursors over the
// tree must be dropped first, as before any change.
Status write_leaves(const WriteContext& cx, TreeRoot& root);

// Drops every page of the tree (nodes and overflow runs), reporting each as
// released, and leaves the root empty.
Status drop_tree(const WriteContext& cx, TreeRoot& root);

// Moves every node page and overflow run of the tree that lies at or above
// `limit`: runs are copied at once into pages from the sink (and their run
// checks recomputed), nodes are loaded for writing, with their parents, so
// that `write_tree` puts them on new pages. Returns the pages moved.
// CORRUPTED when a node page is reached twice (the tree is not a tree).
Result<std::uint64_t> relocate(const WriteContext& cx, TreeRoot& root, std::uint64_t limit);

}  // namespace btree

namespace format {
// Loads the node a branch points to for writing: checks it against the
// pointer (stamp, commit, tree, level) and, when given, its leaf layout,
// reports its page released and returns it in memory.
Result<std::unique_ptr<MemNode>> load_child(const WriteContext& cx, const ChildPointer& pointer,
                                            std::optional<std::uint8_t> level,
                                            std::optional<LeafLayout> layout = std::nullopt);
}  // namespace format

namespace node {
// The entries of a leaf (keys with inline values or overflow references),
// and in `bytes` what they take in `layout`, counted in the same pass.
std::vector<MemEntry> collect_entries(const NodeView& leaf, EntryArena* arena, LeafLayout layout,
                                      std::size_t& bytes);
// A branch's separators.
void collect_keys(const NodeView& branch, std::vector<MemKey>& keys);
// A branch's children.
void collect_children(const NodeView& branch, std::vector<MemChild>& children);
}  // namespace node

namespace write {
// Lays ordered leaf entries out into as many leaves of the layout as they
// need (one when they fit), each split near its byte midpoint.
std::vector<std::vector<MemEntry>> build_nodes(std::vector<MemEntry> entries, LeafLayout layout,
                                               std::uint32_t page_size);
}  // namespace write

}  // namespace deziro
