// The schema state of a database handle, shared by reference counting with
// every transaction the handle begins: the Schema, its exact stored bytes
// (which the schema view compares with the file's), what typed operations
// look up per collection, and the class cache. Immutable once built, except
// the class cache, which has its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "format/object/names.hpp"
#include "format/object/schema.hpp"

namespace deziro {

// How a Python class's fields map onto a collection's stored fields; made
// by the class check, which owns its definition.
struct ClassMapping;

// Checked class mappings by (Layout serial number, collection position).
// Entries are never removed or replaced while the resolved schema lives.
class ClassCache {
 public:
  ClassCache() = default;
  ClassCache(const ClassCache&) = delete;
  ClassCache& operator=(const ClassCache&) = delete;

  // A new reference to the cached mapping, or null.
  std::shared_ptr<const ClassMapping> get(std::uint64_t layout_id, std::uint64_t collection) const;
  // Adds the mapping unless the key is present; the present one is kept.
  void insert(std::uint64_t layout_id, std::uint64_t collection,
              std::shared_ptr<const ClassMapping> mapping) const;

 private:
  struct Entry {
    std::uint64_t layout_id;
    std::uint64_t collection;
    std::shared_ptr<const ClassMapping> mapping;
  };
  mutable std::mutex mutex_;
  mutable std::vector<Entry> entries_;
};

// What a collection's typed operations look up, computed once.
struct ResolvedCollection {
  // Its record tree, counter key and index trees.
  names::CollectionTreeNames trees;
  // Positions of the top-level fields, ordered by name bytes (the shorter
  // first on a common prefix), for lookups by name.
  std::vector<std::uint32_t> fields_by_name;
  // Ids, ascending, of the fields that the schema before a migration gave
  // this collection and this one does not (replaced or deleted); empty but
  // in the schema a migration writes with. Rewriting an object keeps their
  // stored values, so that the migration still reads it as the previous
  // schema stored it.
  std::vector<std::uint64_t> kept_field_ids;
};

struct ResolvedSchema {
  Schema schema;
  // The exact encoding of `schema` as the file stores it.
  std::vector<std::uint8_t> stored_bytes;
  // One per collection, in schema order.
  std::vector<ResolvedCollection> collections;
  ClassCache class_cache;

  // Builds the per-collection names and field orders of `schema`; the bytes
  // are its stored encoding.
  static std::shared_ptr<const ResolvedSchema> make(Schema schema,
                                                    std::vector<std::uint8_t> stored_bytes);
  // The schema a migration from `previous` writes with: `target` with the
  // kept field ids of each collection that `previous` holds too.
  static std::shared_ptr<const ResolvedSchema> for_migration(const ResolvedSchema& target,
                                                             const Schema& previous);
};

}  // namespace deziro
