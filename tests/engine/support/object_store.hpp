// Writes objects straight into a collection's record and index trees, with
// the codec and the key encoding, for tests of the query layer.
#pragma once

#include <memory>
#include <string>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "instance.hpp"
#include "query/params.hpp"
#include "schema/resolved_schema.hpp"
#include "txn/write_txn.hpp"

namespace deziro::test {

// The record of `object` under its primary key, and one entry per index:
// the indexed value is the object's own when present and not Null, else
// the field's default, else Null; a list gives one entry per distinct
// element.
Status store_object(WriteTxn& txn, const Schema& schema, const Collection& collection,
                    const ObjectMap& object);

// A database in memory, with `schema` stored as its handle's.
struct MemoryDatabase {
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> schema;
};
MemoryDatabase open_memory_database(const Schema& schema, std::size_t cache_size = 33554432);

// A query parsed from text (the text must parse) and bound with `params`.
BoundQuery bound(std::string_view text, std::span<const Value> params = {}, bool find_one = false);

}  // namespace deziro::test
