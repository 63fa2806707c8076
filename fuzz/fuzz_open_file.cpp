// Opening a whole file: the input is a database file, resealed after the
// fuzzer's mutations so that its checks hold (as anyone can do to a plain
// file). It is opened with recovery, its published commit checked, every
// tree read, the stored schema loaded and every object of every collection
// read and found; then every tree is written to and the commit published
// and read again. Any failure must be one a damaged file gives (CORRUPTED,
// NOT_A_DATABASE, UNSUPPORTED_FORMAT_VERSION, KEY_REQUIRED): never INTERNAL,
// an argument error, a crash or a hang.
#include "btree/check.hpp"
#include "database.hpp"
#include "format/object/names.hpp"
#include "query/find.hpp"
#include "query/params.hpp"
#include "schema/open.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "support/fuzz_support.hpp"
#include "support/reseal.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

using namespace deziro;

namespace {

using Trees = std::map<std::string, std::map<std::string, std::string>>;

std::nullopt_t refused(const Error& error, std::string_view during) {
  fuzz::require_file_error(error, during);
  return std::nullopt;
}

// Every tree of the published commit, each also through the tree checker
// (whose findings are the point of the check, not failures of it).
std::optional<Trees> read_commit(const std::shared_ptr<Instance>& instance) {
  auto txn = ReadTxn::begin(instance);
  if (!txn) return refused(txn.error(), "a snapshot");
  const CommitRecord& record = txn->record();
  for (const auto& [tree_id, root] : {std::pair{kCatalogTreeId, record.catalog},
                                      {kFreeTreeId, record.free_tree},
                                      {kRetainedTreeId, record.retained_tree}})
    (void)btree::check_tree(ReadContext{txn->source(), tree_id}, root);
  auto trees = testing::read_all_trees(txn->source(), record);
  if (!trees) return refused(trees.error(), "reading the trees");
  for (const auto& [name, entries] : *trees) {
    auto descriptor = txn->descriptor(bytes_of(name));
    if (!descriptor) return refused(descriptor.error(), "a tree");
    if (*descriptor)
      (void)btree::check_tree(ReadContext{txn->source(), (*descriptor)->tree_id},
                              (*descriptor)->root);
  }
  return std::move(*trees);
}

// The stored schema's collections, each object read and found with a
// query that scans them all.
void read_objects(const std::shared_ptr<Instance>& instance, const Trees& trees) {
  const auto meta = trees.find(std::string(names::kMetaTree));
  if (meta == trees.end()) return;
  const auto stored = meta->second.find(std::string(names::kSchemaKey));
  if (stored == meta->second.end()) return;
  auto txn = ReadTxn::begin(instance);
  if (!txn) return fuzz::require_file_error(txn.error(), "a snapshot");
  auto schema = schema::load_stored(*txn, bytes_of(stored->second));
  if (!schema) return fuzz::require_file_error(schema.error(), "the stored schema");
  const ByteView stored_bytes = bytes_of(stored->second);
  auto resolved = ResolvedSchema::make(
      *schema, std::vector<std::uint8_t>(stored_bytes.begin(), stored_bytes.end()));
  auto all = query::bind(CompiledQuery::from(Query{}), {}, false);
  if (!all) fuzz::failure("an empty query binds", all.error().to_string());
  for (std::size_t c = 0; c < schema->collections.size(); ++c) {
    const schema::CollectionRef ref{resolved, c};
    auto found = objects::find_read(*txn, ref, *all);
    if (!found) fuzz::require_file_error(found.error(), "finding every object");
    auto counted = objects::count_read(*txn, ref, *all);
    if (!counted) fuzz::require_file_error(counted.error(), "counting every object");
  }
}

// Puts a key into every tree and deletes each tree's first key, then
// commits.
void write_trees(const std::shared_ptr<Instance>& instance, const Trees& trees) {
  auto w = WriteTxn::begin(instance);
  if (!w) return fuzz::require_file_error(w.error(), "a write");
  for (const auto& [name, entries] : trees) {
    if (Status s = (*w)->put(bytes_of(name),
                             bytes_of("\xff"
                                      "fuzz"),
                             bytes_of("written"));
        !s)
      return fuzz::require_file_error(s.error(), "writing a tree");
    if (entries.empty()) continue;
    if (auto d = (*w)->del(bytes_of(name), bytes_of(entries.begin()->first)); !d)
      return fuzz::require_file_error(d.error(), "deleting from a tree");
  }
  if (Status s = (*w)->commit(); !s) fuzz::require_file_error(s.error(), "the commit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  fuzz::reseal_plain_file(image);
  OpenOptions options;
  options.cache_size = 1 << 20;
  auto instance = Database::open_existing(
      std::make_unique<FaultStorage>("/fuzz/file.db", std::move(image)), options);
  if (!instance) {
    fuzz::require_file_error(instance.error(), "opening");
    return 0;
  }
  auto trees = read_commit(*instance);
  if (!trees) return 0;
  read_objects(*instance, *trees);
  write_trees(*instance, *trees);
  (void)read_commit(*instance);
  return 0;
}
