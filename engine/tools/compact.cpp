#include "tools/compact.hpp"

#include <string>
#include <vector>

#include "format/record.hpp"
#include "tools/repack.hpp"
#include "tools/tree_list.hpp"
#include "txn/relocate.hpp"
#include "txn/write_txn.hpp"

namespace deziro::repack {
namespace {

std::uint64_t free_pages(const WriteTxn& txn) {
  std::uint64_t n = 0;
  for (const auto& [first, count] : txn.free_runs()) n += count;
  return n;
}

// Where a pass moves pages below: the used pages and a slack that keeps
// passes from chasing the last few pages (1/64 of them, at least 4).
std::uint64_t relocation_limit(const WriteTxn& txn) {
  std::uint64_t used = txn.page_count() - free_pages(txn);
  std::uint64_t slack = used / 64 < 5 ? 4 : used / 64;
  return used + slack;
}

enum class PassOutcome : std::uint8_t { Committed, NothingToDo };

// One pass in one write transaction; the pages it moved go to `moved`.
Result<PassOutcome> relocation_pass(const std::shared_ptr<Instance>& instance,
                                    const std::shared_ptr<const ResolvedSchema>& schema,
                                    std::uint64_t& moved) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  const std::uint64_t count_at_start = txn->page_count();
  const std::uint64_t limit = relocation_limit(*txn);
  if (count_at_start <= limit) return PassOutcome::NothingToDo;
  if (instance->failed()) return fail(instance->sync_failed_error());

  std::vector<std::uint64_t> tree_ids;
  for (const std::string& name : DZ_TRY(list_trees(txn->source(), txn->base().catalog))) {
    TreeEntry* entry = DZ_TRY(txn->tree_entry(bytes_of(name), false));
    if (entry != nullptr && !entry->root.empty()) tree_ids.push_back(entry->tree_id);
  }
  // The engine's trees last: moving the named trees rewrites the catalog.
  if (txn->base().catalog.page != 0) tree_ids.push_back(kCatalogTreeId);
  if (txn->base().free_tree.page != 0) tree_ids.push_back(kFreeTreeId);
  if (txn->base().retained_tree.page != 0) tree_ids.push_back(kRetainedTreeId);

  std::uint64_t pass_moved = 0;
  for (std::uint64_t id : tree_ids) {
    auto count = write::write_overflow(*txn, id, limit);
    if (!count) {
      // No room below the limit (a run longer than any free run there):
      // this pass would have to grow the file, so none of it stays.
      if (count.error().kind() == ErrorKind::InvalidArgument) return PassOutcome::NothingToDo;
      return fail(std::move(count).error());
    }
    pass_moved += *count;
  }
  if (pass_moved == 0 || txn->page_count() > count_at_start) return PassOutcome::NothingToDo;
  DZ_CHECK(txn->commit());
  moved += pass_moved;
  return PassOutcome::Committed;
}

Result<std::uint64_t> page_count_now(const std::shared_ptr<Instance>& instance,
                                     const std::shared_ptr<const ResolvedSchema>& schema) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  return txn->page_count();
}

}  // namespace

Status cycle_commits(const std::shared_ptr<Instance>& instance,
                     const std::shared_ptr<const ResolvedSchema>& schema) {
  for (int i = 0; i < kCycleCommits; ++i) {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    DZ_CHECK(txn->commit());
  }
  return ok();
}

Result<std::uint64_t> relocate_passes(const std::shared_ptr<Instance>& instance,
                                      const std::shared_ptr<const ResolvedSchema>& schema) {
  std::uint64_t moved = 0;
  std::uint64_t count = DZ_TRY(page_count_now(instance, schema));
  for (int pass = 0; pass < kMaxRelocationPasses; ++pass) {
    if (DZ_TRY(relocation_pass(instance, schema, moved)) == PassOutcome::NothingToDo) break;
    DZ_CHECK(cycle_commits(instance, schema));
    // A reader may pin the tail: a pass that did not shorten the file ends
    // the passes.
    const std::uint64_t after = DZ_TRY(page_count_now(instance, schema));
    if (after >= count) break;
    count = after;
  }
  return moved;
}

Result<CompactFigures> compact(const std::shared_ptr<Instance>& instance,
                               const std::shared_ptr<const ResolvedSchema>& schema) {
  CompactFigures figures;
  figures.bytes_before = DZ_TRY(instance->storage().len_or_error());
  DZ_CHECK(cycle_commits(instance, schema));
  figures.pages_moved += DZ_TRY(relocate_passes(instance, schema));
  if (DZ_TRY(repack_trees(instance, schema))) {
    DZ_CHECK(cycle_commits(instance, schema));
    figures.pages_moved += DZ_TRY(relocate_passes(instance, schema));
  }
  figures.bytes_after = DZ_TRY(instance->storage().len_or_error());
  return figures;
}

}  // namespace deziro::repack
