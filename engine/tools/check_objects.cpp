#include "tools/check_objects.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>

#include "format/bytes.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/objects.hpp"
#include "text_format.hpp"
#include "txn/read_txn.hpp"

namespace deziro::tools {

namespace {

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// One collection's records, indexes and counter. Problems name the
// collection and no page.
class CollectionCheck {
 public:
  CollectionCheck(ReadTxn& txn, CheckReport& report, const Collection& collection)
      : txn_(txn),
        report_(report),
        collection_(collection),
        name_order_(codec::field_order_by_name(collection.fields)) {}

  void run() {
    const names::TreeName record_tree = names::record_tree_name(collection_.id);
    auto cursor =
        txn_.range(record_tree.bytes(), KeyBound::unbounded(), KeyBound::unbounded(), false);
    if (!cursor)
      return report_.problems.push_back(
          Problem{std::nullopt, collection_.name, cursor.error().to_string()});
    open_indexes();
    if (*cursor) read_records(**cursor);
    check_index_sizes();
    if (collection_.auto_increment) check_counter();
    flush();
  }

 private:
  struct IndexState {
    const Index* index;
    names::TreeName tree;
    // A reader over the index tree (null when the tree is absent), or the
    // error of finding it, reported at each lookup.
    Result<std::unique_ptr<TreeReader>> reader;
    std::uint64_t given = 0;  // entries the objects give it
  };

  // A finding in the order the records give it.
  void problem(std::string message) { found(next_seq_++, std::move(message)); }
  void found(std::uint64_t seq, std::string message) {
    findings_.push_back(Finding{seq, Problem{std::nullopt, collection_.name, std::move(message)}});
  }

  // Makes the lookups waiting, then hands every finding to the report in
  // record order.
  void flush() {
    look_up_entries();
    std::stable_sort(findings_.begin(), findings_.end(),
                     [](const Finding& a, const Finding& b) { return a.seq < b.seq; });
    for (Finding& f : findings_) report_.problems.push_back(std::move(f.problem));
    findings_.clear();
  }

  void open_indexes() {
    for (const Index& index : collection_.indexes) {
      names::TreeName tree = names::index_tree_name(index.id);
      indexes_.push_back(IndexState{&index, tree, txn_.tree_reader(tree.bytes()), 0});
    }
  }

  void read_records(RangeCursor& cursor) {
    ByteView key, record;
    while (true) {
      auto more = cursor.next(key, record);
      if (!more) return problem(more.error().to_string());
      if (!*more) return;
      ++report_.objects_checked;
      check_record(key, record);
      if (lookups_.size() >= kLookupBatch) flush();
    }
  }

  void check_record(ByteView key, ByteView record) {
    auto decoded =
        codec::decode_object_fields_into(record, collection_.fields, object_, name_order_);
    if (!decoded) return problem(format_text("an object's record: {}", decoded.error()));
    check_primary_key(key);
    for (std::uint32_t i = 0; i < indexes_.size(); ++i) check_index_entries(i, key);
  }

  void check_primary_key(ByteView key) {
    const Field* field = collection_.primary_key_field();
    const Value* value = field ? object_.get(field->name) : nullptr;
    bool matches = false;
    if (value) {
      encoded_.clear();
      matches = key::encode_value(*value, encoded_).has_value() && same_bytes(encoded_, key);
      if (value->kind() == ValueKind::Int) {
        greatest_int_key_ = std::max(greatest_int_key_.value_or(INT64_MIN), value->as_int());
      }
    }
    if (!matches) problem("an object is stored under another key than its own");
  }

  void check_index_entries(std::uint32_t position, ByteView key) {
    IndexState& state = indexes_[position];
    const Index& index = *state.index;
    auto entries =
        objects::index_entries(index.field_id, index.unique, collection_.fields, object_, key);
    if (!entries) return problem(entries.error().to_string());
    state.given += entries->size();
    for (const auto& [entry_key, entry_value] : *entries) {
      Lookup lookup{next_seq_++, position, {}, arena_.size(), entry_key.size(), entry_value.size()};
      // The first 16 bytes, zero-padded and big-endian: enough to bring
      // entries of one leaf together, without comparing whole keys.
      std::uint8_t head[16] = {};
      std::memcpy(head, entry_key.data(), std::min(entry_key.size(), sizeof head));
      lookup.head = {load_u64_be(head), load_u64_be(head + 8)};
      arena_.insert(arena_.end(), entry_key.begin(), entry_key.end());
      arena_.insert(arena_.end(), entry_value.begin(), entry_value.end());
      lookups_.push_back(lookup);
    }
  }

  // Looks every waiting entry up in its index, in about key order per
  // index, so that neighbouring lookups share their leaf.
  void look_up_entries() {
    std::sort(lookups_.begin(), lookups_.end(), [](const Lookup& a, const Lookup& b) {
      return std::tie(a.index, a.head) < std::tie(b.index, b.head);
    });
    for (const Lookup& lookup : lookups_) {
      const ByteView key(arena_.data() + lookup.at, lookup.key_len);
      const ByteView value(arena_.data() + lookup.at + lookup.key_len, lookup.value_len);
      IndexState& state = indexes_[lookup.index];
      if (!state.reader) {
        found(lookup.seq, state.reader.error().to_string());
        continue;
      }
      bool same = false;
      Result<bool> present = false;
      if (*state.reader) {
        auto compare = [&](ByteView stored) -> Status {
          same = same_bytes(stored, value);
          return ok();
        };
        present = (*state.reader)->get(key, compare);
      }
      const std::uint64_t id = state.index->id;
      if (!present)
        found(lookup.seq, present.error().to_string());
      else if (!*present)
        found(lookup.seq, format_text("index {} lacks an entry one of its objects gives it", id));
      else if (!same)
        found(lookup.seq, format_text("index {} names another object for one of its entries", id));
    }
    lookups_.clear();
    arena_.clear();
  }

  void check_index_sizes() {
    for (const IndexState& state : indexes_) {
      auto held = txn_.tree_len(state.tree.bytes());
      if (!held)
        problem(held.error().to_string());
      else if (*held != state.given)
        problem(format_text("index {} holds {} entries where its objects give {}", state.index->id,
                            *held, state.given));
    }
  }

  void check_counter() {
    const names::TreeName counter_key = names::counter_key(collection_.id);
    auto stored = txn_.open_tree(bytes_of(names::kMetaTree), counter_key.bytes());
    if (!stored) return problem(stored.error().to_string());
    std::uint64_t counter = 1;  // what an absent counter hands out
    if (*stored) {
      if ((*stored)->size() != 8) return problem("its auto-increment counter is not 8 bytes long");
      counter = load_u64_le((*stored)->data());
    }
    // A counter of 2^63 or more hands out no key an Int can hold.
    const auto next = static_cast<std::int64_t>(counter);
    if (greatest_int_key_ && next >= 0 && next <= *greatest_int_key_)
      problem(
          format_text("its auto-increment counter, {}, would give a key already used", counter));
  }

  // An index entry an object gives, to be looked up with its batch.
  struct Lookup {
    std::uint64_t seq;  // where its finding goes among the others
    std::uint32_t index;
    std::pair<std::uint64_t, std::uint64_t> head;
    // The key and then the value, in `arena_`.
    std::size_t at;
    std::size_t key_len;
    std::size_t value_len;
  };
  struct Finding {
    std::uint64_t seq;
    Problem problem;
  };
  static constexpr std::size_t kLookupBatch = 1 << 17;

  ReadTxn& txn_;
  CheckReport& report_;
  std::vector<Lookup> lookups_;
  std::vector<std::uint8_t> arena_;
  std::vector<Finding> findings_;
  std::uint64_t next_seq_ = 0;
  const Collection& collection_;
  std::vector<std::uint32_t> name_order_;
  std::vector<IndexState> indexes_;
  ObjectMap object_;
  std::vector<std::uint8_t> encoded_;
  std::optional<std::int64_t> greatest_int_key_;
};

constexpr std::string_view kMetaTreeName = names::kMetaTree;

}  // namespace

void check_objects(ReadTxn& txn, CheckReport& report) {
  auto schema_problem = [&](std::string_view text) {
    report.problems.push_back(
        Problem{std::nullopt, std::string(kMetaTreeName), format_text("its schema: {}", text)});
  };
  auto stored = txn.open_tree(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey));
  if (!stored) return schema_problem(stored.error().to_string());
  if (!*stored) return;  // no schema, no collections
  auto schema = schema_codec::decode_schema(**stored);
  if (!schema) {
    const schema_codec::DecodeFailure& failure = schema.error();
    return schema_problem(
        failure.message.empty()
            ? std::string_view("it is in an object format this build does not read")
            : failure.message);
  }
  for (const Collection& collection : schema->collections)
    CollectionCheck(txn, report, collection).run();
}

}  // namespace deziro::tools
