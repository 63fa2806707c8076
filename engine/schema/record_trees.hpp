// The writes and reads of a collection's record tree that the typed
// operations and the planner share: one change to a record, and the record
// an index entry names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error.hpp"
#include "txn/tree_access.hpp"

namespace deziro {
class WriteTxn;
}

namespace deziro::objects {

// Looks the primary key up in the record tree and hands the record to the
// visitor. No record is CORRUPTED "an index of `{}` names an object that is
// not there": the index and the records disagree.
Status resolve_index_entry(TreeAccess& access, ByteView record_tree,
                           std::string_view collection_name, ByteView primary_key,
                           ValueVisitor visitor);

// One change to a collection's record tree.
struct RecordWrite {
  enum class Kind : std::uint8_t {
    Put,
    Delete,
    // A replacement that a check refused; it must never reach the tree.
    RefusedReplacement,
  };
  Kind kind;
  // Put only: the record bytes.
  ByteView record;

  static RecordWrite put(ByteView record) { return {Kind::Put, record}; }
  static RecordWrite remove() { return {Kind::Delete, {}}; }
  static RecordWrite refused() { return {Kind::RefusedReplacement, {}}; }
};

// Applies one change to the record tree of the collection at `position` in
// the transaction's resolved schema, through its precomputed name: a put
// stores the record, a delete removes the key (true when it was there). A
// refused replacement is INTERNAL "a replacement was refused after nothing
// could refuse it". Errors of the transaction pass up unchanged.
Result<bool> write_record(WriteTxn& txn, std::size_t position, ByteView primary_key,
                          const RecordWrite& write);

}  // namespace deziro::objects
