// The walk of a query path after its first field: through embedded
// objects, list elements and links, reading linked objects from the
// transaction through a cache kept for one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "function_ref.hpp"
#include "txn/tree_access.hpp"

namespace deziro::objects {

// One step of a query path after its first field: into the field of an
// embedded object, into each element of a list, or through a link into the
// linked collection.
struct PathStep {
  enum class Kind : std::uint8_t { Field, Element, Link };
  Kind kind = Kind::Field;
  std::string name;                    // Field
  const Collection* target = nullptr;  // Link
};

// Linked objects read while one query runs, by (collection id, encoded
// key); a missing object is remembered as such. Emptied rather than
// evicted when it reaches its bound.
class LinkCache {
 public:
  static constexpr std::size_t kMaxEntries = 4096;

  // The cached object (an Object value) or a missing mark (nullopt inside);
  // null when not cached.
  const std::optional<Value>* find(std::uint64_t collection_id, ByteView key) const;
  const std::optional<Value>& insert(std::uint64_t collection_id, ByteView key,
                                     std::optional<Value> object);
  std::size_t size() const noexcept { return map_.size(); }
  std::uint64_t reads() const noexcept { return reads_; }
  void count_read() noexcept { ++reads_; }

 private:
  static std::string make_key(std::uint64_t collection_id, ByteView key);
  std::unordered_map<std::string, std::optional<Value>> map_;
  std::uint64_t reads_ = 0;
};

// What following a link needs: the transaction and the cache of the run.
struct LinkContext {
  TreeAccess& access;
  LinkCache& cache;
};

using PathTest = FunctionRef<Result<bool>(const Value& value)>;

// Continues a path through `value`: true as soon as the test answers true
// for some value reached (each element of a list in turn), false when none
// does; errors stop the walk. A link holding a key of another type than
// its target's primary key is CORRUPTED "a link to `{}` holds a key of
// another type".
Result<bool> resolve_link(LinkContext& cx, const Value& value, std::span<const PathStep> steps,
                          PathTest test);

}  // namespace deziro::objects
