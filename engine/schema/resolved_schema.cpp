#include "schema/resolved_schema.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>

#include "format/object/value.hpp"

namespace deziro {
namespace {

std::vector<std::uint32_t> fields_by_name(const Collection& collection) {
  std::vector<std::uint32_t> order(collection.fields.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare_names(collection.fields[a].name, collection.fields[b].name) < 0;
  });
  return order;
}

}  // namespace

std::shared_ptr<const ClassMapping> ClassCache::get(std::uint64_t layout_id,
                                                    std::uint64_t collection) const {
  std::lock_guard lock(mutex_);
  for (const Entry& entry : entries_)
    if (entry.layout_id == layout_id && entry.collection == collection) return entry.mapping;
  return nullptr;
}

void ClassCache::insert(std::uint64_t layout_id, std::uint64_t collection,
                        std::shared_ptr<const ClassMapping> mapping) const {
  std::lock_guard lock(mutex_);
  for (const Entry& entry : entries_)
    if (entry.layout_id == layout_id && entry.collection == collection) return;
  entries_.push_back(Entry{layout_id, collection, std::move(mapping)});
}

std::shared_ptr<const ResolvedSchema> ResolvedSchema::make(Schema schema,
                                                           std::vector<std::uint8_t> stored_bytes) {
  auto resolved = std::make_shared<ResolvedSchema>();
  resolved->collections.reserve(schema.collections.size());
  for (const Collection& collection : schema.collections) {
    resolved->collections.push_back(
        ResolvedCollection{names::collection_tree_names(collection), fields_by_name(collection)});
  }
  resolved->schema = std::move(schema);
  resolved->stored_bytes = std::move(stored_bytes);
  return resolved;
}

std::shared_ptr<const ResolvedSchema> ResolvedSchema::for_migration(const ResolvedSchema& target,
                                                                    const Schema& previous) {
  auto resolved = std::make_shared<ResolvedSchema>();
  resolved->schema = target.schema;
  resolved->stored_bytes = target.stored_bytes;
  resolved->collections = target.collections;
  for (std::size_t i = 0; i < resolved->schema.collections.size(); ++i) {
    const Collection& collection = resolved->schema.collections[i];
    const Collection* before = previous.collection_by_id(collection.id);
    if (before == nullptr) continue;
    std::vector<std::uint64_t>& kept = resolved->collections[i].kept_field_ids;
    for (const Field& field : before->fields)
      if (collection.field_by_id(field.id) == nullptr) kept.push_back(field.id);
    std::ranges::sort(kept);
  }
  return resolved;
}

}  // namespace deziro
