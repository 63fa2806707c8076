// What the typed writes of a write transaction reuse from one operation to
// the next: the record being built, the encoded key, the index keys of the
// new and the old record, and the positions of a record's fields. The
// transaction keeps them between operations; each write takes them and
// gives them back, emptied, within the caps below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/object/schema.hpp"
#include "txn/tree_access.hpp"
#include "txn/write_txn.hpp"

namespace deziro::objects {

// Buffers above these capacities are freed rather than kept, so that one
// huge object does not pin its memory for the rest of the transaction.
inline constexpr std::size_t kScratchByteCap = 65536;
inline constexpr std::size_t kScratchElementCap = 4096;

// Index keys over one byte arena: per key, its index slot (position in the
// collection's index list) and the arena offset where it ends.
class IndexKeys {
 public:
  struct Ref {
    std::uint32_t slot;
    // Full width: one object's entries may pass 4 GiB before the record
    // limit refuses it.
    std::size_t end;
  };

  void add(std::uint32_t slot, ByteView key);
  void clear() noexcept {
    arena_.clear();
    refs_.clear();
  }
  std::size_t size() const noexcept { return refs_.size(); }
  std::uint32_t slot_at(std::size_t i) const noexcept { return refs_[i].slot; }
  ByteView key_at(std::size_t i) const noexcept;

  // Within the caps of the scratch buffers: frees what outgrew them.
  void trim() noexcept;

  std::vector<std::uint8_t>& arena() noexcept { return arena_; }
  std::vector<Ref>& refs() noexcept { return refs_; }

 private:
  std::vector<std::uint8_t> arena_;
  std::vector<Ref> refs_;
};

// Where a field's value starts in a record: the declared field's position
// and the offset of its tag.
struct FieldPosition {
  std::uint32_t field;
  std::uint32_t offset;
};

class WriteScratch final : public TxnScratch {
 public:
  std::vector<std::uint8_t> record;
  std::vector<std::uint8_t> key;
  IndexKeys new_keys;
  IndexKeys old_keys;
  std::vector<FieldPosition> positions;
  // A copy of the record a put or update replaces, kept for the undo of a
  // refused replacement; the field slots of the map-based writes.
  std::vector<std::uint8_t> old_record;
  std::vector<const Value*> slots;
};

// Moves the transaction's scratch out, leaving empty buffers in its place
// (the first write of a transaction gets fresh, empty buffers).
WriteScratch take_scratch(WriteTxn& txn);
// Gives the buffers back emptied; any over its cap is freed instead.
void return_scratch(WriteScratch scratch, WriteTxn& txn);

// Whether some key of a unique index among `new_keys` is not among
// `old_keys` (same slot, same bytes); plain indexes are passed over.
bool has_new_unique_key(const IndexKeys& new_keys, const IndexKeys& old_keys,
                        std::span<const Index> indexes);

// Appends an int field: when `field_count` is given, the varint field id
// (and the count goes up by one); then tag 4 and the zigzag varint of x.
void write_int_field(std::vector<std::uint8_t>& buffer, std::uint64_t* field_count,
                     std::uint64_t field_id, std::int64_t x);

}  // namespace deziro::objects
