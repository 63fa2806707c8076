#include "query/find.hpp"

#include "query/run.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::objects {

namespace {

std::span<const Collection> collections_of(const schema::CollectionRef& ref) {
  return ref.schema->schema.collections;
}

}  // namespace

Status flush_collection(WriteTxn& txn, const schema::CollectionRef& ref) {
  const auto& trees = ref.resolved().trees;
  DZ_CHECK(txn.flush_pending(bytes_of(trees.record_tree)));
  for (const std::string& index_tree : trees.index_trees)
    DZ_CHECK(txn.flush_pending(bytes_of(index_tree)));
  return ok();
}

Status find_with(TreeAccess& access, std::span<const Collection> collections,
                 const Collection& collection, const BoundQuery& query, RecordSink sink) {
  if (DZ_TRY(plan::try_key_lookup(access, collection, query, sink)) == plan::LookupOutcome::Taken)
    return ok();
  const Plan plan = DZ_TRY(plan::plan_query(collections, collection, query));
  return run::execute(access, plan, sink);
}

Result<std::vector<ObjectMap>> find_decoded(TreeAccess& access, const schema::CollectionRef& ref,
                                            const BoundQuery& query) {
  const Collection& collection = ref.collection();
  codec::CollectionView view(collection.name, collection.fields);
  std::vector<ObjectMap> objects;
  auto on_error = [&](std::string message) { return access.error_at(std::move(message)); };
  auto decode = [&](ByteView record) -> Status {
    objects.push_back(DZ_TRY(codec::decode_for_collection(view, record, on_error)));
    return ok();
  };
  DZ_CHECK(find_with(access, collections_of(ref), collection, query, decode));
  return objects;
}

Result<std::vector<ObjectMap>> find_read(ReadTxn& txn, const schema::CollectionRef& ref,
                                         const BoundQuery& query) {
  return find_decoded(txn, ref, query);
}

Result<std::vector<ObjectMap>> find_write(WriteTxn& txn, const schema::CollectionRef& ref,
                                          const BoundQuery& query) {
  DZ_CHECK(flush_collection(txn, ref));
  return find_decoded(txn, ref, query);
}

Result<std::uint64_t> count_with(TreeAccess& access, std::span<const Collection> collections,
                                 const Collection& collection, const BoundQuery& query) {
  const Plan plan = DZ_TRY(plan::plan_query(collections, collection, query));
  return run::count_matches(access, plan);
}

Result<std::uint64_t> count_read(ReadTxn& txn, const schema::CollectionRef& ref,
                                 const BoundQuery& query) {
  return count_with(txn, collections_of(ref), ref.collection(), query);
}

Result<std::uint64_t> count_write(WriteTxn& txn, const schema::CollectionRef& ref,
                                  const BoundQuery& query) {
  DZ_CHECK(flush_collection(txn, ref));
  return count_with(txn, collections_of(ref), ref.collection(), query);
}

}  // namespace deziro::objects
