#include "schema/links.hpp"

#include <cstring>
#include <vector>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "text_format.hpp"

namespace deziro::objects {

using names::record_tree_name;
using names::TreeName;

std::string LinkCache::make_key(std::uint64_t collection_id, ByteView key) {
  std::string k(8 + key.size(), '\0');
  std::memcpy(k.data(), &collection_id, 8);
  if (!key.empty()) std::memcpy(k.data() + 8, key.data(), key.size());
  return k;
}

const std::optional<Value>* LinkCache::find(std::uint64_t collection_id, ByteView key) const {
  const auto it = map_.find(make_key(collection_id, key));
  return it == map_.end() ? nullptr : &it->second;
}

const std::optional<Value>& LinkCache::insert(std::uint64_t collection_id, ByteView key,
                                              std::optional<Value> object) {
  if (map_.size() >= kMaxEntries) map_.clear();
  return map_.insert_or_assign(make_key(collection_id, key), std::move(object)).first->second;
}

namespace {

const Value& null_value() {
  static const Value null;
  return null;
}

// The linked object of `target` under the key `value`, through the cache.
Result<const std::optional<Value>*> linked_object(LinkContext& cx, const Collection& target,
                                                  const Value& value) {
  std::vector<std::uint8_t> key;
  if (!key::primary_key_of(target, value, key)) {
    return fail(
        cx.access.error_at(format_text("a link to `{}` holds a key of another type", target.name)));
  }
  if (const auto* hit = cx.cache.find(target.id, key)) return hit;
  cx.cache.count_read();
  std::optional<Value> object;
  const TreeName tree = record_tree_name(target.id);
  auto visitor = [&](ByteView record) -> Status {
    auto decoded = codec::decode_object_fields(record, target.fields);
    if (!decoded)
      return fail(cx.access.error_at(codec::object_error(target.name, decoded.error())));
    object.emplace(Value::object(std::move(*decoded)));
    return ok();
  };
  DZ_CHECK(cx.access.get(tree.bytes(), key, visitor));
  return &cx.cache.insert(target.id, key, std::move(object));
}

}  // namespace

Result<bool> resolve_link(LinkContext& cx, const Value& value, std::span<const PathStep> steps,
                          PathTest test) {
  if (steps.empty()) return test(value);
  const PathStep& step = steps.front();
  const auto rest = steps.subspan(1);
  switch (step.kind) {
    case PathStep::Kind::Field: {
      if (value.kind() != ValueKind::Object) return resolve_link(cx, null_value(), rest, test);
      const Value* field = value.as_object().get(step.name);
      return resolve_link(cx, field ? *field : null_value(), rest, test);
    }
    case PathStep::Kind::Element: {
      if (value.kind() != ValueKind::List) return resolve_link(cx, null_value(), rest, test);
      for (const Value& item : value.as_list())
        if (DZ_TRY(resolve_link(cx, item, rest, test))) return true;
      return false;
    }
    case PathStep::Kind::Link: {
      if (value.is_null()) return resolve_link(cx, value, rest, test);
      const std::optional<Value>* object = DZ_TRY(linked_object(cx, *step.target, value));
      // The cache may be emptied while the rest of the path is followed, so
      // the object is copied out of it first.
      if (!object->has_value()) return resolve_link(cx, null_value(), rest, test);
      const Value copy = **object;
      return resolve_link(cx, copy, rest, test);
    }
  }
  return false;
}

}  // namespace deziro::objects
