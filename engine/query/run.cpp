#include "query/run.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_set>

#include "btree/pager/slot_tag_cache.hpp"
#include "format/node.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "query/run_filter.hpp"
#include "schema/tree_keys.hpp"
#include "text_format.hpp"

namespace deziro::run {

namespace {

constexpr std::uint64_t kNoBound = std::numeric_limits<std::uint64_t>::max();

std::string_view key_text(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// What a source hands on for one object: its primary key and, when the
// source read it, its record with the slot hint, and whether the source
// found that the residual filter holds.
struct Offer {
  ByteView primary_key;
  std::optional<ByteView> record;
  std::uint16_t hint = kNoHint;
  bool matched = false;
};

enum class Step : std::uint8_t { Continue, Stop };
using RowStep = FunctionRef<Result<Step>(const Offer& offer)>;

// Reads records by primary key for rows that came without one: the first
// lookup through the transaction, later ones through one tree reader.
class RecordLookup {
 public:
  RecordLookup(TreeAccess& access, const Collection& collection)
      : access_(access), collection_(collection), tree_(names::record_tree_name(collection.id)) {}

  ByteView tree() const { return tree_.bytes(); }

  Status fetch(ByteView primary_key, ValueVisitor visitor) {
    bool found = false;
    if (stage_ == 0) {
      stage_ = 1;
      found = DZ_TRY(access_.get(tree_.bytes(), primary_key, visitor));
    } else {
      if (stage_ == 1) {
        reader_ = DZ_TRY(access_.tree_reader(tree_.bytes()));
        stage_ = 2;
      }
      if (reader_) found = DZ_TRY(reader_->get(primary_key, visitor));
    }
    if (!found)
      return fail(access_.error_at(
          format_text("an index of `{}` names an object that is not there", collection_.name)));
    return ok();
  }

 private:
  TreeAccess& access_;
  const Collection& collection_;
  names::TreeName tree_;
  int stage_ = 0;
  std::unique_ptr<TreeReader> reader_;
};

// Reads the access path of a plan and hands each object to a row step.
class Sources {
 public:
  Sources(TreeAccess& access, const Plan& plan, RecordLookup& lookup, const FilterContext& filter)
      : access_(access), plan_(plan), lookup_(lookup), filter_(filter) {}

  // `values` false: a key range hands on keys only (its records unread).
  Status read(RowStep step, bool values) {
    switch (plan_.access.kind) {
      case AccessPath::Kind::KeyLookups:
        return key_lookups(step);
      case AccessPath::Kind::KeyRange:
        return key_range(step, values);
      case AccessPath::Kind::IndexRanges:
        return index_ranges(step);
    }
    return ok();
  }

 private:
  Status key_lookups(RowStep step) {
    const auto& keys = plan_.access.keys;
    const std::size_t n = keys.size();
    for (std::size_t i = 0; i < n; ++i) {
      const ByteString& key = keys[plan_.access.backward ? n - 1 - i : i];
      Step answer = Step::Continue;
      auto visitor = [&](ByteView record) -> Status {
        answer = DZ_TRY(step(Offer{key, record, kNoHint}));
        return ok();
      };
      DZ_CHECK(access_.get(lookup_.tree(), key, visitor));
      if (answer == Step::Stop) return ok();
    }
    return ok();
  }

  Status key_range(RowStep step, bool values) {
    const bool backward = plan_.access.backward;
    auto cursor =
        DZ_TRY(access_.range(lookup_.tree(), plan_.access.lower, plan_.access.upper, backward));
    if (!cursor) return ok();
    // A key range reads every cell of its leaves. (An index range, below,
    // was slower with it: its time goes to the records it looks up.)
    cursor->load_whole_leaves();
    const Field* tested = values ? plan_.first_tested : nullptr;
    SlotTagCache* cache = tested ? cursor->source().slot_tags() : nullptr;
    const std::uint64_t field_id = tested ? tested->id : 0;
    const bool admitted = cache && cache->admit(cursor->tree_id(), field_id);
    // A record the residual filter's short form settles is tested here:
    // one it rejects is not handed on.
    const bool int_tested = values && filter_.int_test;
    std::vector<SlotTagCache::Completed> completed;
    auto status = [&]() -> Status {
      std::string buffer;
      while (true) {
        const std::size_t count = cursor->leaf_count();
        const auto [first, end] = cursor->leaf_slots();
        const bool last_leaf = backward ? first > 0 : end < count;
        // Hints only for pages sealed on disk: a leaf a write transaction
        // holds in memory has no pointer and gets none.
        const std::optional<ChildPointer> parent = cache ? cursor->parent_pointer() : std::nullopt;
        std::shared_ptr<const SlotHints> hints;
        std::optional<SlotHints> building;
        if (parent) {
          if (admitted) hints = cache->lookup(parent->page, parent->stamp, field_id);
          if (!hints && first == 0 && end == count) building.emplace(count, kNoHint);
        }
        // A leaf on disk is read from its page directly.
        const NodeView* page = cursor->leaf_page();
        for (std::size_t i = first; i < end; ++i) {
          const std::size_t slot = backward ? end - 1 - (i - first) : i;
          const LeafCell cell = page ? page->cell_at(slot) : cursor->cell_at(slot);
          const ByteView key = cell.key;
          ByteView record;
          if (values) record = cell.overflow ? DZ_TRY(cursor->value_of(cell, buffer)) : cell.value;
          Offer offer{key, std::nullopt, kNoHint};
          if (values) {
            std::uint16_t hint = kNoHint;
            if (hints) {
              hint = slot < hints->size() ? (*hints)[slot] : kNoHint;
            } else if (building) {
              hint = codec::compute_slot_hint(record, field_id);
              (*building)[slot] = hint;
            }
            if (int_tested) {
              const auto answer = codec::int_test_answer(filter_, {record, hint});
              if (answer && !*answer) continue;
              offer.matched = answer.has_value();
            }
            offer.record = record;
            offer.hint = hint;
          }
          if (DZ_TRY(step(offer)) == Step::Stop) return ok();
        }
        if (building) completed.push_back({parent->page, parent->stamp, std::move(*building)});
        if (last_leaf) return ok();
        if (!DZ_TRY(backward ? cursor->prev_leaf() : cursor->next_leaf())) return ok();
      }
    }();
    if (cache && !completed.empty()) cache->insert_all(field_id, std::move(completed));
    return status;
  }

  Result<Step> offer_key(RowStep step, ByteView primary_key) {
    if (plan_.access.skip_seen && !seen_.insert(std::string(key_text(primary_key))).second)
      return Step::Continue;
    return step(Offer{primary_key, std::nullopt, kNoHint});
  }

  Status index_ranges(RowStep step) {
    const Index& index = *plan_.access.index;
    const names::TreeName tree = names::index_tree_name(index.id);
    const auto& ranges = plan_.access.ranges;
    const bool backward = plan_.access.backward;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      const IndexRange& range = ranges[backward ? ranges.size() - 1 - r : r];
      if (plan_.access.exact_values && index.unique && range.lower.kind == BoundKind::Included &&
          !range.lower.key.empty() && range.lower.key[0] != key::kTagNull) {
        ByteString primary_key;
        auto copy = [&](ByteView value) -> Status {
          primary_key.assign(value.begin(), value.end());
          return ok();
        };
        if (DZ_TRY(access_.get(tree.bytes(), range.lower.key, copy)))
          if (DZ_TRY(offer_key(step, primary_key)) == Step::Stop) return ok();
        continue;
      }
      if (DZ_TRY(scan_index(step, tree.bytes(), index, range, backward)) == Step::Stop) return ok();
    }
    return ok();
  }

  Result<Step> scan_index(RowStep step, ByteView tree, const Index& index, const IndexRange& range,
                          bool backward) {
    auto cursor = DZ_TRY(access_.range(tree, range.lower, range.upper, backward));
    if (!cursor) return Step::Continue;
    if (!backward) {
      return each_entry(*cursor, index.unique, [&](ByteView key, ByteView value) -> Result<Step> {
        const auto parts = DZ_TRY(objects::split_first(key, value, index, access_));
        return offer_key(step, parts.primary_key);
      });
    }
    // Backward, the objects of one value come in descending key order; they
    // are handed on ascending, as the row order has them.
    ByteString group_value;
    // The group's primary keys end to end, and where each ends.
    ByteString pending;
    std::vector<std::size_t> ends;
    auto deliver = [&]() -> Result<Step> {
      for (std::size_t i = ends.size(); i-- > 0;) {
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        const ByteView primary_key(pending.data() + start, ends[i] - start);
        if (DZ_TRY(offer_key(step, primary_key)) == Step::Stop) return Step::Stop;
      }
      pending.clear();
      ends.clear();
      return Step::Continue;
    };
    auto group = [&](ByteView key, ByteView value) -> Result<Step> {
      const auto parts = DZ_TRY(objects::split_first(key, value, index, access_));
      if (ends.empty() || compare_keys(parts.value, group_value) != 0) {
        if (DZ_TRY(deliver()) == Step::Stop) return Step::Stop;
        group_value.assign(parts.value.begin(), parts.value.end());
      }
      pending.insert(pending.end(), parts.primary_key.begin(), parts.primary_key.end());
      ends.push_back(pending.size());
      return Step::Continue;
    };
    if (DZ_TRY(each_entry(*cursor, index.unique, group)) == Step::Stop) return Step::Stop;
    return deliver();
  }

  // Hands each entry of the cursor's range to `entry`, in the cursor's
  // direction, until it answers Stop. A leaf on disk is read from its page
  // directly; without `with_values` the value is left empty (a plain
  // index's entries hold none).
  template <typename Entry>
  static Result<Step> each_entry(RangeCursor& cursor, bool with_values, Entry&& entry) {
    const bool backward = cursor.reverse();
    std::string buffer;
    while (true) {
      const std::size_t count = cursor.leaf_count();
      const auto [first, end] = cursor.leaf_slots();
      const bool last_leaf = backward ? first > 0 : end < count;
      const NodeView* page = cursor.leaf_page();
      for (std::size_t i = first; i < end; ++i) {
        const std::size_t slot = backward ? end - 1 - (i - first) : i;
        ByteView key;
        ByteView value;
        if (with_values) {
          const LeafCell cell = page ? page->cell_at(slot) : cursor.cell_at(slot);
          key = cell.key;
          value = cell.overflow ? DZ_TRY(cursor.value_of(cell, buffer)) : cell.value;
        } else {
          key = page ? page->key_at(slot) : cursor.key_at(slot);
        }
        if (DZ_TRY(entry(key, value)) == Step::Stop) return Step::Stop;
      }
      if (last_leaf) return Step::Continue;
      if (!DZ_TRY(backward ? cursor.prev_leaf() : cursor.next_leaf())) return Step::Continue;
    }
  }

  TreeAccess& access_;
  const Plan& plan_;
  RecordLookup& lookup_;
  const FilterContext& filter_;
  std::unordered_set<std::string> seen_;
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kNoBound - b ? kNoBound : a + b;
}

// One collected row. Its order key (the sort key, then the primary key)
// and its record lie in the buffer's arena; the order key's first bytes are
// kept in `prefix`, which settles most comparisons without the arena. Its
// lengths are full width: an order key can pass 4 GiB where its record does
// not (each zero byte of a string takes two, and each sort key adds its
// value again).
struct CollectedRow {
  std::uint64_t prefix = 0;
  std::size_t key_at = 0;
  std::size_t key_size = 0;
  std::size_t primary_key_size = 0;
  std::size_t record_at = 0;
  std::size_t record_size = 0;
};

// The collecting mode: rows gathered, cut back to the first K whenever the
// buffer reaches max(2K, 256), then sorted and paged. Rows compare by their
// order keys; once trimmed, a candidate whose order key does not come
// before the K-th row's is dropped before its filter is tested or anything
// is copied.
class RowBuffer {
 public:
  RowBuffer(const Plan& plan, FilterContext& filter, RecordLookup& lookup)
      : plan_(plan), filter_(filter), lookup_(lookup) {
    k_ = plan.limit ? saturating_add(plan.offset, *plan.limit) : kNoBound;
    trim_at_ = k_ == kNoBound ? kNoBound : std::max<std::uint64_t>(saturating_add(k_, k_), 256);
    key_only_ =
        plan.access.kind == AccessPath::Kind::IndexRanges && !plan.residual && plan.sort.empty();
  }

  Result<Step> collect(const Offer& offer) {
    if (key_only_) {
      scratch_.assign(offer.primary_key.begin(), offer.primary_key.end());
      if (trimmed_ && !before_threshold(scratch_)) return Step::Continue;
      push(offer.primary_key.size(), {});
      return Step::Continue;
    }
    if (offer.record) {
      DZ_CHECK(candidate(offer.primary_key, *offer.record, offer.hint, offer.matched));
    } else {
      auto visitor = [&](ByteView record) -> Status {
        return candidate(offer.primary_key, record, kNoHint, false);
      };
      DZ_CHECK(lookup_.fetch(offer.primary_key, visitor));
    }
    return Step::Continue;
  }

  Status page(RecordSink sink) {
    std::sort(rows_.begin(), rows_.end(),
              [this](const CollectedRow& a, const CollectedRow& b) { return row_before(a, b); });
    if (plan_.offset >= rows_.size()) return ok();
    std::uint64_t left = plan_.limit.value_or(kNoBound);
    for (std::size_t i = plan_.offset; i < rows_.size() && left > 0; ++i, --left) {
      if (key_only_) {
        auto emit = [&](ByteView record) -> Status { return sink(record); };
        DZ_CHECK(lookup_.fetch(primary_key_of(rows_[i]), emit));
      } else {
        DZ_CHECK(sink(record_of(rows_[i])));
      }
    }
    return ok();
  }

 private:
  ByteView bytes_at(std::size_t at, std::size_t size) const {
    return ByteView(arena_.data() + at, size);
  }
  ByteView order_key_of(const CollectedRow& row) const {
    return bytes_at(row.key_at, row.key_size);
  }
  ByteView primary_key_of(const CollectedRow& row) const {
    return bytes_at(row.key_at + row.key_size - row.primary_key_size, row.primary_key_size);
  }
  ByteView record_of(const CollectedRow& row) const {
    return bytes_at(row.record_at, row.record_size);
  }

  bool row_before(const CollectedRow& a, const CollectedRow& b) const {
    return compare_headed_keys(a.prefix, order_key_of(a), b.prefix, order_key_of(b)) < 0;
  }

  const CollectedRow& threshold() const { return rows_[k_ - 1]; }

  // Whether an order key comes strictly before the K-th row's.
  bool before_threshold(ByteView order_key) const {
    const CollectedRow& t = threshold();
    return compare_headed_keys(key_head(order_key), order_key, t.prefix, order_key_of(t)) < 0;
  }

  // Whether a sort key alone settles that its row comes after the K-th:
  // its bytes exceed the K-th row's order key where both have bytes (a
  // primary key appended after it cannot change that).
  bool sort_key_after_threshold(ByteView sort_key) const {
    const ByteView t = order_key_of(threshold());
    const std::size_t n = std::min(sort_key.size(), t.size());
    return n != 0 && std::memcmp(sort_key.data(), t.data(), n) > 0;
  }

  // The top-k pre-test, the filter, and the row. Untrimmed, the filter
  // goes first, so only matches have their sort keys read.
  Status candidate(ByteView primary_key, ByteView record, std::uint16_t hint, bool matched) {
    const codec::OfferedRecord offered{record, hint, matched};
    if (!trimmed_ && !DZ_TRY(codec::test_record(filter_, offered, nullptr))) return ok();
    scratch_.clear();
    DZ_CHECK(codec::append_sort_key(filter_, offered, scratch_));
    if (trimmed_ && sort_key_after_threshold(scratch_)) return ok();
    scratch_.insert(scratch_.end(), primary_key.begin(), primary_key.end());
    if (trimmed_) {
      if (!before_threshold(scratch_)) return ok();
      if (!DZ_TRY(codec::test_record(filter_, offered, nullptr))) return ok();
    }
    push(primary_key.size(), record);
    return ok();
  }

  // Adds the row whose order key is in scratch_ (its primary key last).
  void push(std::size_t primary_key_size, ByteView record) {
    CollectedRow row;
    row.prefix = key_head(scratch_);
    row.key_at = arena_.size();
    row.key_size = scratch_.size();
    row.primary_key_size = primary_key_size;
    arena_.insert(arena_.end(), scratch_.begin(), scratch_.end());
    row.record_at = arena_.size();
    row.record_size = record.size();
    arena_.insert(arena_.end(), record.begin(), record.end());
    rows_.push_back(row);
    if (trim_at_ == kNoBound || rows_.size() < trim_at_) return;
    std::nth_element(
        rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(k_ - 1), rows_.end(),
        [this](const CollectedRow& a, const CollectedRow& b) { return row_before(a, b); });
    rows_.resize(k_);
    compact();
    trimmed_ = true;
  }

  // Copies the kept rows' bytes to a fresh arena, so a long
  // top-k run holds K rows, not every row it ever kept.
  void compact() {
    ByteString arena;
    for (CollectedRow& row : rows_) {
      const std::size_t key_at = arena.size();
      const ByteView key = order_key_of(row);
      arena.insert(arena.end(), key.begin(), key.end());
      const std::size_t record_at = arena.size();
      const ByteView record = record_of(row);
      arena.insert(arena.end(), record.begin(), record.end());
      row.key_at = key_at;
      row.record_at = record_at;
    }
    arena_ = std::move(arena);
  }

  const Plan& plan_;
  FilterContext& filter_;
  RecordLookup& lookup_;
  std::uint64_t k_;
  std::uint64_t trim_at_;
  bool key_only_;
  bool trimmed_ = false;
  std::vector<CollectedRow> rows_;
  ByteString arena_;
  // The candidate's order key.
  ByteString scratch_;
};

}  // namespace

bool key_before(ByteView a, ByteView b) { return compare_keys(a, b) < 0; }

Status execute(TreeAccess& access, const Plan& plan, RecordSink sink) {
  if (plan.limit && *plan.limit == 0) return ok();
  FilterContext filter(access, plan);
  RecordLookup lookup(access, *plan.collection);
  Sources sources(access, plan, lookup, filter);
  if (plan.ordered) {
    std::uint64_t skipped = 0;
    std::uint64_t produced = 0;
    auto test_row = [&](ByteView record, std::uint16_t hint, bool matched) -> Result<Step> {
      if (!matched &&
          !DZ_TRY(codec::test_record(filter, codec::OfferedRecord{record, hint}, nullptr)))
        return Step::Continue;
      if (skipped < plan.offset) {
        ++skipped;
        return Step::Continue;
      }
      DZ_CHECK(sink(record));
      ++produced;
      return plan.limit && produced >= *plan.limit ? Step::Stop : Step::Continue;
    };
    auto offer_row = [&](const Offer& offer) -> Result<Step> {
      if (offer.record) return test_row(*offer.record, offer.hint, offer.matched);
      // Without a residual filter every row matches: one the offset passes
      // over is counted from its key, its record unread.
      if (!plan.residual && skipped < plan.offset) {
        ++skipped;
        return Step::Continue;
      }
      Step answer = Step::Continue;
      auto visitor = [&](ByteView record) -> Status {
        answer = DZ_TRY(test_row(record, kNoHint, false));
        return ok();
      };
      DZ_CHECK(lookup.fetch(offer.primary_key, visitor));
      return answer;
    };
    return sources.read(offer_row, true);
  }
  RowBuffer rows(plan, filter, lookup);
  auto collect = [&](const Offer& offer) -> Result<Step> { return rows.collect(offer); };
  DZ_CHECK(sources.read(collect, true));
  return rows.page(sink);
}

Result<std::uint64_t> count_matches(TreeAccess& access, const Plan& plan) {
  std::uint64_t matches = 0;
  if (!plan.residual && !plan.exact) {
    matches = DZ_TRY(access.tree_len(names::record_tree_name(plan.collection->id).bytes()));
  } else {
    FilterContext filter(access, plan);
    RecordLookup lookup(access, *plan.collection);
    Sources sources(access, plan, lookup, filter);
    if (plan.exact) {
      auto count = [&](const Offer&) -> Result<Step> {
        ++matches;
        return Step::Continue;
      };
      DZ_CHECK(sources.read(count, false));
    } else {
      auto test = [&](ByteView record, std::uint16_t hint, bool matched) -> Status {
        if (matched ||
            DZ_TRY(codec::test_record(filter, codec::OfferedRecord{record, hint}, nullptr)))
          ++matches;
        return ok();
      };
      auto count = [&](const Offer& offer) -> Result<Step> {
        if (offer.record) {
          DZ_CHECK(test(*offer.record, offer.hint, offer.matched));
        } else {
          auto visitor = [&](ByteView record) -> Status { return test(record, kNoHint, false); };
          DZ_CHECK(lookup.fetch(offer.primary_key, visitor));
        }
        return Step::Continue;
      };
      DZ_CHECK(sources.read(count, true));
    }
  }
  const std::uint64_t after_offset = matches > plan.offset ? matches - plan.offset : 0;
  return plan.limit ? std::min(after_offset, *plan.limit) : after_offset;
}

}  // namespace deziro::run
