#include "schema/write_scratch.hpp"

#include <algorithm>

#include "format/object/codec.hpp"

namespace deziro::objects {

namespace {

template <typename T>
void empty_within(std::vector<T>& v, std::size_t cap) noexcept {
  if (v.capacity() > cap) {
    std::vector<T>().swap(v);
  } else {
    v.clear();
  }
}

}  // namespace

void IndexKeys::add(std::uint32_t slot, ByteView key) {
  arena_.insert(arena_.end(), key.begin(), key.end());
  refs_.push_back(Ref{slot, arena_.size()});
}

ByteView IndexKeys::key_at(std::size_t i) const noexcept {
  const std::size_t begin = i == 0 ? 0 : refs_[i - 1].end;
  return ByteView(arena_).subspan(begin, refs_[i].end - begin);
}

void IndexKeys::trim() noexcept {
  empty_within(arena_, kScratchByteCap);
  empty_within(refs_, kScratchElementCap);
}

WriteScratch take_scratch(WriteTxn& txn) {
  WriteScratch taken;
  // The holder stays, emptied, so that giving the buffers back allocates
  // nothing.
  if (auto* held = dynamic_cast<WriteScratch*>(txn.scratch.get())) taken = std::move(*held);
  return taken;
}

void return_scratch(WriteScratch scratch, WriteTxn& txn) {
  empty_within(scratch.record, kScratchByteCap);
  empty_within(scratch.key, kScratchByteCap);
  scratch.new_keys.trim();
  scratch.old_keys.trim();
  empty_within(scratch.positions, kScratchElementCap);
  empty_within(scratch.old_record, kScratchByteCap);
  empty_within(scratch.slots, kScratchElementCap);
  if (auto* held = dynamic_cast<WriteScratch*>(txn.scratch.get())) {
    *held = std::move(scratch);
  } else {
    txn.scratch = std::make_unique<WriteScratch>(std::move(scratch));
  }
}

bool has_new_unique_key(const IndexKeys& new_keys, const IndexKeys& old_keys,
                        std::span<const Index> indexes) {
  for (std::size_t i = 0; i < new_keys.size(); ++i) {
    const std::uint32_t slot = new_keys.slot_at(i);
    if (slot >= indexes.size() || !indexes[slot].unique) continue;
    const ByteView key = new_keys.key_at(i);
    bool held_before = false;
    for (std::size_t j = 0; j < old_keys.size() && !held_before; ++j) {
      held_before = old_keys.slot_at(j) == slot && std::ranges::equal(old_keys.key_at(j), key);
    }
    if (!held_before) return true;
  }
  return false;
}

void write_int_field(std::vector<std::uint8_t>& buffer, std::uint64_t* field_count,
                     std::uint64_t field_id, std::int64_t x) {
  if (field_count != nullptr) {
    codec::write_varint(buffer, field_id);
    ++*field_count;
  }
  codec::write_int(buffer, x);
}

}  // namespace deziro::objects
