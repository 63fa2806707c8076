// A read snapshot of the published commit. Any number run beside each other
// and beside the writer; the pages a snapshot can see are not reused while
// it lives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "txn/catalog.hpp"
#include "txn/open_file.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

struct ResolvedSchema;

class ReadTxn final : public TreeAccess {
 public:
  // The snapshot protocol is OpenFile::begin_snapshot's: CLOSED in a process
  // forked from the opener, BUSY when the reader byte is not had in time.
  static Result<ReadTxn> begin(std::shared_ptr<OpenFile> file,
                               std::shared_ptr<const ResolvedSchema> schema = nullptr);

  ReadTxn(ReadTxn&& other) noexcept;
  ReadTxn& operator=(ReadTxn&& other) noexcept;
  ReadTxn(const ReadTxn&) = delete;
  ReadTxn& operator=(const ReadTxn&) = delete;
  // Ends the snapshot's registration.
  ~ReadTxn() override;

  std::uint64_t txn_id() const { return record_.txn_id; }
  std::uint64_t page_count() const { return record_.page_count; }
  const CommitRecord& record() const { return record_; }
  const KeyBlock& key_block() const { return record_.key_block; }
  const ChildPointer& catalog_root() const { return record_.catalog; }
  const ChildPointer& free_root() const { return record_.free_tree; }
  const ChildPointer& retained_root() const { return record_.retained_tree; }
  OpenFile& file() const { return *file_; }
  const std::shared_ptr<OpenFile>& shared_file() const { return file_; }
  NodeSource& source() const { return file_->reader(); }

  // The handle's resolved schema, or none; `schema_confirmed` is set by the
  // schema view once the stored schema proved unchanged.
  const std::shared_ptr<const ResolvedSchema>& schema() const { return schema_; }
  bool schema_confirmed = false;

  // The catalog entry of a named tree, or none.
  Result<std::optional<TreeDescriptor>> descriptor(ByteView tree_name);

  // TreeAccess
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

 private:
  ReadTxn(std::shared_ptr<OpenFile> file, std::shared_ptr<const ResolvedSchema> schema,
          CommitRecord record);
  void end();

  std::shared_ptr<OpenFile> file_;
  std::shared_ptr<const ResolvedSchema> schema_;
  CommitRecord record_;
};

// The tree name and key under which the stored schema lives.
inline constexpr std::string_view kMetaTreeName{"\0meta", 5};
inline constexpr std::string_view kSchemaKey{"schema"};

// The upper levels of one tree, kept by a reader that looks up many keys:
// its branch nodes come from here without the shared cache's lock and
// bookkeeping; leaves still go through the cache. The kept branches sit in
// one array found through a small open-addressed table of page numbers, and
// stay where they are until the memo goes.
class BranchMemo final : public NodeSource {
 public:
  // Room for every branch of a tree of over a million small entries in 4 KiB
  // pages. A quarter of that was short of a 1 000 000-entry tree's: with 16
  // byte keys and 100 byte values it has at least 30 000 leaves under at
  // least 390 branches, and random lookups took a third or more of their
  // branch visits to the shared cache.
  static constexpr std::size_t kMaxBranches = 1024;

  explicit BranchMemo(NodeSource& inner) : inner_(inner) {}
  std::uint32_t page_size() const override { return inner_.page_size(); }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override;
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override {
    return inner_.read_pages(first, count, run);
  }
  Error corrupted(std::string message) const override {
    return inner_.corrupted(std::move(message));
  }

  // The node at `pointer`, checked as fetch_node does, without copying it:
  // a kept branch, valid while this memo lives, or else the node put into
  // `spare`.
  Result<const NodeView*> node(const ChildPointer& pointer, std::uint64_t tree_id,
                               std::optional<std::uint8_t> level, NodeView& spare);

 private:
  struct Kept {
    ChildPointer pointer;
    std::uint64_t tree_id;
    NodeView view;
  };
  // Twice the kept branches, so that probes stay short.
  static constexpr std::size_t kSlots = 2 * kMaxBranches;
  // The table's slot for `page`, holding its kept branch or empty.
  std::size_t slot_of(std::uint64_t page) const;

  NodeSource& inner_;
  std::vector<Kept> kept_;            // never grows past its first reserve
  std::vector<std::uint16_t> slots_;  // index in kept_ + 1, 0: empty
};

// A tree reader over one root of a snapshot. Besides the branches, it keeps
// the leaves its lookups reached, each with the key range its path gave it:
// a later key inside one of those ranges is searched in that leaf at once,
// without a descent, which a run of lookups walking through the tree (the
// records of an index range) mostly is.
//
// Each lookup pins the source's epochs (when it has them and a place is
// free) and uses the nodes the cache holds in place, with no lock and no
// reference taken; a leaf so found is kept by its pointer and found in the
// cache again when next used. Nodes the cache does not hand out that way
// come through the branch memo and are held as before.
class RootReader final : public TreeReader {
 public:
  static constexpr std::size_t kMaxLeaves = 256;

  RootReader(NodeSource& source, std::uint64_t tree_id, ChildPointer root)
      : source_(source),
        memo_(source),
        pins_(source.epochs()),
        peek_cache_(source.peek_cache()),
        tree_id_(tree_id),
        root_(root) {}
  Result<bool> get(ByteView key, ValueVisitor visitor) override;

 private:
  // A leaf and its keys' range [lower, upper), both kept in `bounds_`; an
  // empty `lower` is the tree's start, no `upper` its end.
  struct Leaf {
    std::uint64_t lower_prefix = 0;  // the first eight bytes of each bound,
    std::uint64_t upper_prefix = 0;  // zero-padded
    std::uint32_t lower_at = 0;
    std::uint32_t lower_size = 0;
    std::uint32_t upper_at = 0;
    std::uint32_t upper_size = 0;
    bool bounded_above = false;
    // The leaf the lookup after one in this leaf went to, last time.
    std::uint16_t follow = kMaxLeaves;
    // The slot after the one the last lookup here found: lookups in key
    // order find their keys there.
    std::uint16_t next_slot = 0;
    // Held by the cache, found again by `pointer` under a pin; `view` is
    // then empty.
    bool borrowed = false;
    ChildPointer pointer;
    NodeView view;
  };
  // Where a kept range starts, in the order of the ranges.
  struct Start {
    std::uint64_t prefix;  // the first eight bytes of `lower`, zero-padded
    std::uint16_t leaf;
  };
  ByteView lower_of(const Leaf& leaf) const;
  // Whether `key` (with its prefix) comes before the start of a range.
  bool before(ByteView key, std::uint64_t prefix, const Start& start) const;
  bool holds(const Leaf& leaf, ByteView key, std::uint64_t prefix) const;
  // How many kept ranges start at a prefix below `prefix`, or at most
  // `prefix` with `or_equal`.
  std::size_t starts_below(std::uint64_t prefix, bool or_equal) const;
  // The kept leaf whose range holds `key`, or null (noting in `missed_at_`
  // where a leaf holding it would go).
  Leaf* kept_leaf(ByteView key);
  // Appends a range bound's bytes to `bounds_`; where they start.
  std::uint32_t keep_bound(ByteView bound);
  const std::uint8_t* bound_bytes() const {
    return reinterpret_cast<const std::uint8_t*>(bounds_.data());
  }
  // Makes `leaf` the last leaf used, noting it as the one that followed
  // the last.
  void moved_to(std::size_t leaf);
  // The node of a kept leaf: its own view, the cache's while `pinned`, or
  // else read again and then held.
  Result<const NodeView*> view_of(Leaf& leaf, bool pinned);
  // The leaf `key` leads to from the root, kept with its range, and its
  // node in `node`; or, when no leaf may be dropped to make room, null with
  // the node in `node` (held by `unkept` unless the cache holds it for the
  // pin). Nodes come from the cache in place while `pinned`.
  Result<Leaf*> descend(ByteView key, bool pinned, NodeView& unkept, const NodeView*& node);

  NodeSource& source_;
  BranchMemo memo_;
  EpochDomain::Reader pins_;
  // Where peek_node finds nodes, whose places a descent asks for ahead.
  const PageCache* peek_cache_;
  std::uint64_t tree_id_;
  ChildPointer root_;
  // The kept leaves in the order met, their indexes ordered by `lower`
  // (the ranges do not overlap), and the bytes of the ranges.
  std::vector<Leaf> leaves_;
  std::vector<Start> order_;
  // A string, not a vector of bytes: its append of a short key is a copy,
  // where the vector's range insert cost a lookup a hundred instructions.
  std::string bounds_;
  std::size_t last_ = 0;
  // Where in `order_` a leaf holding the key kept_leaf last found no leaf
  // for goes, so that the descent that follows need not search again.
  std::size_t missed_at_ = 0;
  // Visitors running on a value in a kept leaf.
  int visiting_ = 0;
};

// A copy of the value under `key`, through `get`.
Result<std::optional<std::vector<std::uint8_t>>> copy_value(TreeAccess& access, ByteView tree_name,
                                                            ByteView key);
// Whether the stored schema bytes equal `stored`, through `get`.
Result<bool> schema_bytes_equal(TreeAccess& access, ByteView stored);

}  // namespace deziro
