// A small database for the query fuzzer and the seed files: items with
// fields of every kind (lists, an embedded object, links and a list of
// links to shops, some links dangling), once with indexes on every indexable
// field and once without.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "format/object/schema.hpp"
#include "instance.hpp"
#include "schema/resolved_schema.hpp"
#include "storage/fault_storage.hpp"

namespace deziro::fuzz {

Schema world_schema(bool with_indexes);

struct WorldDb {
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> schema;
  // Owned by the instance; its image is the file.
  FaultStorage* storage = nullptr;
};

// A new database in memory holding the world's shops and its first `items`
// items; aborts on failure.
WorldDb make_world_db(bool with_indexes, int items = 60);

// Query texts over `items` that use every operator and path shape.
std::vector<std::string> world_queries();

}  // namespace deziro::fuzz
