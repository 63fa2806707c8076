#include "tools/salvage_pages.hpp"

#include <algorithm>
#include <map>
#include <unordered_set>

#include "btree/overflow.hpp"
#include "format/node.hpp"
#include "txn/free_space.hpp"

namespace deziro::salvage {
namespace {

constexpr std::size_t kScanBatchBytes = 1048576;

bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

bool leaf_kind(std::uint8_t kind) {
  return kind == std::uint8_t(PageKind::FixedLeaf) || kind == std::uint8_t(PageKind::VarintLeaf);
}

// Kind and level as a node or overflow page of the file may have them.
bool sound_kind_and_level(const PageHeader& header) {
  if (leaf_kind(header.kind) || header.kind == std::uint8_t(PageKind::Overflow))
    return header.level == 0;
  return header.kind == std::uint8_t(PageKind::Branch) && header.level != 0;
}

enum class EntryOutcome { Delivered, Lost };

// Reads entry `index` of a leaf, its overflow value included; a cell or a
// run that does not read is lost, never an error.
Result<EntryOutcome> read_entry(NodeSource& source, const NodeView& leaf, std::size_t index,
                                std::uint64_t tree_id, EntryVisitor visitor) {
  const LeafCell cell = leaf.cell_at(index);
  if (!cell.overflow) {
    DZ_CHECK(visitor(cell.key, cell.value));
    return EntryOutcome::Delivered;
  }
  auto entry = leaf.entry_owned(index);
  if (!entry) return EntryOutcome::Lost;
  entry->value.clear();
  if (!load::read_overflow_run(source, entry->ref, tree_id, entry->value))
    return EntryOutcome::Lost;
  DZ_CHECK(visitor(bytes_view(entry->key), bytes_view(entry->value)));
  return EntryOutcome::Delivered;
}

std::string key_string(ByteView key) { return to_string(key); }

bool below(ByteView key, const std::optional<std::string>& lower) {
  return lower && compare_keys(key, bytes_view(*lower)) < 0;
}

bool at_or_above(ByteView key, const std::optional<std::string>& upper) {
  return upper && compare_keys(key, bytes_view(*upper)) >= 0;
}

// Disjoint spans [first, last] of keys or pages, merged as they are added.
// std::string compares as unsigned bytes, as keys do.
template <typename T>
class SpanSet {
 public:
  bool contains(const T& at) const {
    auto it = spans_.upper_bound(at);
    if (it == spans_.begin()) return false;
    --it;
    return at <= it->second;
  }

  void add(T first, T last) {
    auto it = spans_.upper_bound(first);
    if (it != spans_.begin() && std::prev(it)->second >= first) {
      --it;
      first = it->first;
      last = std::max(last, it->second);
      it = spans_.erase(it);
    }
    while (it != spans_.end() && it->first <= last) {
      last = std::max(last, it->second);
      it = spans_.erase(it);
    }
    spans_.emplace(std::move(first), std::move(last));
  }

 private:
  // First to last.
  std::map<T, T> spans_;
};

using CoveredSet = SpanSet<std::string>;

}  // namespace

void read_page(std::uint64_t page_number, std::span<std::uint8_t> bytes, std::uint32_t page_size,
               const PageProtection& protection, SalvageReport& report, LeafIndex& leaves) {
  ++report.pages_scanned;
  if (all_zero(bytes)) return;  // never written
  auto stamp = protection.open_page(page_number, bytes);
  if (!stamp) {
    ++report.pages_damaged;
    return;
  }
  const PageHeader header = PageHeader::read(bytes);
  if (!sound_kind_and_level(header)) {
    ++report.pages_damaged;
    return;
  }
  if (!leaf_kind(header.kind)) return;  // branches and overflow pages are reached by walks
  // The view lives only for this call: it borrows the batch's bytes.
  std::shared_ptr<const std::uint8_t> page(std::shared_ptr<const void>(), bytes.data());
  auto node = NodeView::from_page(page, page_size);
  if (!node) {
    ++report.pages_damaged;
    return;
  }
  if (node->count() == 0) return;
  leaves[header.tree_id].push_back(LeafRecord{key_string(node->key_at(0)),
                                              key_string(node->key_at(node->count() - 1)), *stamp,
                                              page_number, header.commit_id});
}

LeafIndex scan_pages(Storage& storage, std::uint64_t length, std::uint32_t page_size,
                     const PageProtection& protection, SalvageReport& report) {
  LeafIndex leaves;
  const std::uint64_t pages = length / page_size;
  const std::uint64_t batch = std::max<std::uint64_t>(1, kScanBatchBytes / page_size);
  std::vector<std::uint8_t> buffer(batch * page_size);
  for (std::uint64_t first = 1; first < pages; first += batch) {
    const std::uint64_t count = std::min(batch, pages - first);
    std::span<std::uint8_t> run(buffer.data(), count * page_size);
    const bool whole_read = storage.read_exact_at(first * page_size, run).has_value();
    for (std::uint64_t i = 0; i < count; ++i) {
      std::span<std::uint8_t> bytes = run.subspan(i * page_size, page_size);
      if (!whole_read && !storage.read_exact_at((first + i) * page_size, bytes)) {
        ++report.pages_scanned;
        ++report.pages_damaged;
        continue;
      }
      read_page(first + i, bytes, page_size, protection, report, leaves);
    }
  }
  for (auto& [tree_id, list] : leaves)
    std::stable_sort(list.begin(), list.end(), [](const LeafRecord& a, const LeafRecord& b) {
      return a.commit_id > b.commit_id;
    });
  return leaves;
}

void rank_leaves(NodeSource& source, const CommitRecord& commit, LeafIndex& leaves) {
  // The pages the commit does not hold, as far as its free-space trees
  // read: a gap in them only leaves some such pages ranked as its own.
  SpanSet<std::uint64_t> elsewhere;
  auto add = [&](const PageRunEntry& run) {
    if (run.first <= UINT64_MAX - run.count) elsewhere.add(run.first, run.first + run.count - 1);
  };
  auto free_run = [&](ByteView key, ByteView value) -> Status {
    if (auto run = free_space::decode_free(source, key, value)) add(*run);
    return ok();
  };
  auto retained_runs = [&](ByteView key, ByteView value) -> Status {
    if (auto runs = free_space::decode_retained(source, key, value))
      for (const PageRunEntry& run : *runs) add(run);
    return ok();
  };
  // The visitors fail nothing, so neither does a walk.
  (void)walk_tree(source, commit.free_tree, kFreeTreeId, free_run);
  (void)walk_tree(source, commit.retained_tree, kRetainedTreeId, retained_runs);
  auto held = [&](const LeafRecord& leaf) {
    return leaf.page < commit.page_count && !elsewhere.contains(leaf.page);
  };
  for (auto& [tree_id, list] : leaves) std::stable_partition(list.begin(), list.end(), held);
}

Result<std::vector<Gap>> walk_tree(NodeSource& source, const ChildPointer& root,
                                   std::uint64_t tree_id, EntryVisitor visitor) {
  std::vector<Gap> gaps;
  if (root.page == 0) return gaps;
  struct Item {
    std::optional<std::string> lower;
    std::optional<std::string> upper;
    ChildPointer pointer;
    std::optional<std::uint8_t> level;
  };
  std::vector<Item> stack{Item{std::nullopt, std::nullopt, root, std::nullopt}};
  // Pages walked already. A sound tree reaches each page once; in a
  // damaged one shared children or loops would be walked again and again.
  std::unordered_set<std::uint64_t> met;
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    if (met.contains(item.pointer.page)) continue;
    auto node = source.fetch_node(item.pointer, tree_id, item.level);
    if (!node) {
      gaps.push_back(
          Gap{std::move(item.lower), std::move(item.upper), tree_id, item.pointer.commit_id, {}});
      continue;
    }
    met.insert(item.pointer.page);
    if (!node->is_leaf()) {
      const std::size_t children = node->child_count();
      const std::uint8_t below_level = node->level() - 1;
      for (std::size_t i = children; i-- > 0;) {
        Item child;
        child.lower = i == 0 ? item.lower : std::optional(key_string(node->key_at(i - 1)));
        child.upper = i + 1 == children ? item.upper : std::optional(key_string(node->key_at(i)));
        child.pointer = node->child_at(i);
        child.level = below_level;
        stack.push_back(std::move(child));
      }
      continue;
    }
    for (std::size_t i = 0; i < node->count(); ++i) {
      if (DZ_TRY(read_entry(source, *node, i, tree_id, visitor)) == EntryOutcome::Delivered)
        continue;
      std::string key = key_string(node->key_at(i));
      Gap gap{key, key + std::string(1, '\0'), tree_id, node->commit_id(), {}};
      gap.wanted.insert(std::move(key));
      gaps.push_back(std::move(gap));
    }
  }
  return gaps;
}

Result<GapFill> fill_gap(NodeSource& source, const LeafIndex& leaves, Gap gap,
                         EntryVisitor visitor) {
  GapFill fill;
  auto list = leaves.find(gap.tree_id);
  if (list != leaves.end()) {
    CoveredSet covered;
    for (const LeafRecord& leaf : list->second) {
      if (leaf.commit_id > gap.commit_bound) continue;
      if (below(bytes_view(leaf.last_key), gap.lower)) continue;
      if (at_or_above(bytes_view(leaf.first_key), gap.upper)) continue;
      auto node = source.fetch_node(ChildPointer{leaf.page, leaf.commit_id, leaf.stamp},
                                    gap.tree_id, std::uint8_t{0});
      if (!node) continue;
      for (std::size_t i = 0; i < node->count(); ++i) {
        const ByteView key = node->key_at(i);
        if (below(key, gap.lower)) continue;
        if (at_or_above(key, gap.upper)) break;
        std::string owned = key_string(key);
        auto wanted = gap.wanted.find(owned);
        // A newer leaf spoke for this key: it held it, or it was deleted.
        if (wanted == gap.wanted.end() && covered.contains(owned)) continue;
        if (DZ_TRY(read_entry(source, *node, i, gap.tree_id, visitor)) == EntryOutcome::Delivered) {
          ++fill.delivered;
          if (wanted != gap.wanted.end()) gap.wanted.erase(wanted);
        } else if (wanted == gap.wanted.end()) {
          gap.wanted.insert(std::move(owned));
        }
      }
      covered.add(leaf.first_key, leaf.last_key);
    }
  }
  fill.wanted_left = gap.wanted.size();
  return fill;
}

}  // namespace deziro::salvage
