// The store step shared by every typed write, and the transaction's reusable
// buffers for those writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "schema/objects.hpp"
#include "txn/write_txn.hpp"

namespace deziro::objects {

// Takes the scratch for one write and gives it back on every way out.
class ScratchLease {
 public:
  explicit ScratchLease(WriteTxn& txn) : txn_(txn), scratch_(take_scratch(txn)) {}
  ~ScratchLease() { return_scratch(std::move(scratch_), txn_); }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  WriteScratch* operator->() { return &scratch_; }
  WriteScratch& operator*() { return scratch_; }

 private:
  WriteTxn& txn_;
  WriteScratch scratch_;
};

// How an object's primary key came about.
enum class KeySource : std::uint8_t {
  Given,     // with the object, on a collection without a counter (or not an Int)
  Counter,   // from the counter
  Explicit,  // an Int given for an auto-increment collection
};

// An object ready to store: record and index entries live in the scratch.
struct Prepared {
  KeySource source = KeySource::Given;
  std::int64_t number = 0;  // the key's number for Counter and Explicit
  Value key;
};

// Writes the prepared object (record in `scratch.record`, encoded key in
// `scratch.key`, entries in `scratch.new_keys`) into the collection's
// trees, with the limits, unique checks, undo and counter in their order.
Result<Value> store_object(WriteTxn& txn, const CollectionRef& target, Prepared& prepared,
                           WriteScratch& scratch, WriteMode mode);

// Merges into `record` (a whole record, made under the collection's fields)
// the fields of the `stored` record that the collection keeps through a
// migration (ResolvedCollection::kept_field_ids), in field-id order. A
// stored record that does not walk is CORRUPTED.
Status keep_fields(WriteTxn& txn, const CollectionRef& target, ByteView stored,
                   std::vector<std::uint8_t>& record);

// The first new entry of a unique index (one not among `old`) that another
// object holds: DUPLICATE_KEY naming the field; a failed lookup is that
// error. None when every new unique value is free.
Result<std::optional<Error>> unique_conflict(WriteTxn& txn, const CollectionRef& target,
                                             const IndexKeys& fresh, const IndexKeys& old,
                                             ByteView key);

// Removes the old entries that are not new, then puts the new entries that
// are not old (the primary key as value for a unique index).
Status apply_index_changes(WriteTxn& txn, const CollectionRef& target, const IndexKeys& fresh,
                           const IndexKeys& old, ByteView key);

// "an object of `{}` has a key or an indexed value too long for the file's
// keys, which are at most {} bytes"
Error key_too_long(const Collection& collection, std::size_t limit);
// "an object of `{}` is 4 GiB long or more"
Error record_too_long(const Collection& collection);
// "an object of `{}`: {}" as INVALID_ARGUMENT.
Error object_refused(const Collection& collection, std::string_view message);

// The fields of `fields` in field order, each from its slot (a filled slot
// holding something other than Null) or its default; an optional field
// without either is left out. Appends the field records (no count) and
// answers how many were written, or a message naming the field.
codec::Encoded<std::uint64_t> encode_fields(std::span<const Field> fields,
                                            std::span<const Value* const> slots,
                                            const Schema& schema, std::vector<std::uint8_t>& out);

// Slots by name: fills `slots` (one per field) from the entries of `object`
// and answers the first name no field has, if any.
std::optional<std::string_view> fill_slots(const ObjectMap& object, std::span<const Field> fields,
                                           std::span<const std::uint32_t> fields_by_name,
                                           std::vector<const Value*>& slots);

}  // namespace deziro::objects
