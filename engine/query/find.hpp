// Find and count: how a compiled, bound query runs on one collection inside
// a read snapshot or the write transaction. Find tries the point lookup
// first, else plans and executes; count plans and counts, reading no record
// where the access path answers the filter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "query/params.hpp"
#include "query/plan.hpp"
#include "schema/open.hpp"
#include "txn/tree_access.hpp"

namespace deziro {
class ReadTxn;
class WriteTxn;
}  // namespace deziro

namespace deziro::objects {

// A write transaction's scans refuse trees with buffered writes, so a find
// or count there stores the collection's first.
Status flush_collection(WriteTxn& txn, const schema::CollectionRef& ref);

// The record bytes of each found object go to the sink, in result order.
// `collections` are the schema's, for following links.
Status find_with(TreeAccess& access, std::span<const Collection> collections,
                 const Collection& collection, const BoundQuery& query, RecordSink sink);

// The found objects decoded by the collection's fields; nothing on error.
Result<std::vector<ObjectMap>> find_decoded(TreeAccess& access, const schema::CollectionRef& ref,
                                            const BoundQuery& query);
Result<std::vector<ObjectMap>> find_read(ReadTxn& txn, const schema::CollectionRef& ref,
                                         const BoundQuery& query);
Result<std::vector<ObjectMap>> find_write(WriteTxn& txn, const schema::CollectionRef& ref,
                                          const BoundQuery& query);

Result<std::uint64_t> count_with(TreeAccess& access, std::span<const Collection> collections,
                                 const Collection& collection, const BoundQuery& query);
Result<std::uint64_t> count_read(ReadTxn& txn, const schema::CollectionRef& ref,
                                 const BoundQuery& query);
Result<std::uint64_t> count_write(WriteTxn& txn, const schema::CollectionRef& ref,
                                  const BoundQuery& query);

}  // namespace deziro::objects
