#include "schema/tree_keys.hpp"

#include "btree/cursor.hpp"
#include "format/object/codec.hpp"
#include "text_format.hpp"

namespace deziro::objects {

using key::decode_key;
using key::first_component_size;

Result<IndexEntryParts> split_first(ByteView entry_key, ByteView entry_value, const Index& index,
                                    const TreeAccess& access) {
  const auto size = first_component_size(entry_key);
  if (!size) {
    return fail(access.error_at(format_text("an entry of index {}: {}", index.id, size.error())));
  }
  IndexEntryParts parts;
  parts.value = entry_key.first(*size);
  parts.primary_key = index.unique ? entry_value : entry_key.subspan(*size);
  return parts;
}

Result<std::unique_ptr<TreeKeyWalk>> TreeKeyWalk::open(TreeAccess& access, ByteView tree_name) {
  auto cursor =
      DZ_TRY(access.range(tree_name, KeyBound::unbounded(), KeyBound::unbounded(), false));
  std::unique_ptr<RangeCursor> held;
  if (cursor) held = std::make_unique<RangeCursor>(std::move(*cursor));
  return std::unique_ptr<TreeKeyWalk>(new TreeKeyWalk(std::move(held)));
}

TreeKeyWalk::~TreeKeyWalk() = default;

Result<std::optional<ByteView>> TreeKeyWalk::next_key() {
  if (!cursor_) return std::optional<ByteView>();
  ByteView k;
  ByteView value;
  const bool more = DZ_TRY(cursor_->next(k, value));
  if (!more) {
    cursor_.reset();
    return std::optional<ByteView>();
  }
  return std::optional<ByteView>(k);
}

std::optional<Value> PrimaryKeys::next() {
  if (done_) return std::nullopt;
  auto key = walk_.next_key();
  if (!key || !*key) {
    done_ = true;
    if (!key) error_ = std::move(key).error();
    return std::nullopt;
  }
  auto value = decode_key(**key);
  if (!value) {
    done_ = true;
    error_ =
        access_.error_at(format_text("a primary key of `{}` does not decode", collection_.name));
    return std::nullopt;
  }
  return std::move(*value);
}

Result<std::optional<ObjectMap>> get_by_key(const Collection& collection, ByteView record_tree,
                                            const Value& value, TreeAccess& access) {
  key::KeyBuffer key;
  DZ_CHECK(key::encode_primary_key(collection, value, key));
  std::optional<ObjectMap> object;
  auto visitor = [&](ByteView record) -> Status {
    auto decoded = codec::decode_object_fields(record, collection.fields);
    if (!decoded) {
      return fail(access.error_at(codec::object_error(collection.name, decoded.error())));
    }
    object.emplace(std::move(*decoded));
    return ok();
  };
  DZ_CHECK(access.get(record_tree, key.view(), visitor));
  return object;
}

}  // namespace deziro::objects
