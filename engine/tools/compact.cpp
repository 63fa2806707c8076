#include "tools/compact.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "btree/cursor.hpp"
#include "format/record.hpp"
#include "tools/repack.hpp"
#include "tools/tree_list.hpp"
#include "txn/free_space.hpp"
#include "txn/read_txn.hpp"
#include "txn/relocate.hpp"
#include "txn/write_txn.hpp"

namespace deziro::repack {
namespace {

// Pages a relocation pass leaves alone above the used ones, so that passes
// do not chase the last few: 1/64 of them, at least 4.
std::uint64_t slack_above(std::uint64_t used) { return std::max<std::uint64_t>(used / 64, 4); }

// Whether relocation could shorten a file of `count` pages with `spare` of
// them free or retained by more than what compaction itself leaves: the
// slack, and the pages that its last commits leave free or retained (each
// commit that frees a retained group rewrites the free and retained trees,
// some 6 or 7 pages), which a pass would only move about.
bool relocation_pays(std::uint64_t count, std::uint64_t spare) {
  if (spare >= count) return false;
  return spare > std::max(2 * slack_above(count - spare), kCompactSpare);
}

// Where a pass moves pages below: the used pages and the slack.
std::uint64_t relocation_limit(const WriteTxn& txn) {
  std::uint64_t used = txn.page_count() - free_pages(txn);
  return used + slack_above(used);
}

// The pages of the published commit that are free or retained (which the
// empty commits free).
Result<std::uint64_t> spare_pages(const std::shared_ptr<Instance>& instance,
                                  const std::shared_ptr<const ResolvedSchema>& schema) {
  ReadTxn snapshot = DZ_TRY(ReadTxn::begin(instance, schema));
  std::uint64_t spare = 0;
  auto add = [&](std::uint64_t tree_id, const ChildPointer& root) -> Status {
    if (root.page == 0) return ok();
    auto visit = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
      if (tree_id == kFreeTreeId) {
        spare += DZ_TRY(free_space::decode_free(snapshot.source(), key, value)).count;
      } else {
        auto runs = DZ_TRY(free_space::decode_retained(snapshot.source(), key, value));
        for (const PageRunEntry& r : runs) spare += r.count;
      }
      return VisitAnswer::Continue;
    };
    return read::scan_forward(ReadContext{snapshot.source(), tree_id}, TreeRoot::on_disk(root),
                              KeyBound::unbounded(), KeyBound::unbounded(), visit);
  };
  DZ_CHECK(add(kFreeTreeId, snapshot.free_root()));
  DZ_CHECK(add(kRetainedTreeId, snapshot.retained_root()));
  return spare;
}

enum class PassOutcome : std::uint8_t { Committed, NothingToDo };

// One pass in one write transaction; the pages it moved go to `moved`.
Result<PassOutcome> relocation_pass(const std::shared_ptr<Instance>& instance,
                                    const std::shared_ptr<const ResolvedSchema>& schema,
                                    std::uint64_t& moved) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  txn->keep_pages_low();
  const std::uint64_t count_at_start = txn->page_count();
  // The commit too: the moves may leave too few free pages for the free and
  // retained trees it writes, which would then go past the end.
  txn->limit_page_count(count_at_start);
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
  if (pass_moved == 0) return PassOutcome::NothingToDo;
  if (Status committed = txn->commit(); !committed) {
    // Its commit would have grown the file: none of the pass stays.
    if (txn->outgrew_page_limit()) return PassOutcome::NothingToDo;
    return fail(std::move(committed).error());
  }
  moved += pass_moved;
  return PassOutcome::Committed;
}

Result<std::uint64_t> page_count_now(const std::shared_ptr<Instance>& instance,
                                     const std::shared_ptr<const ResolvedSchema>& schema) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  return txn->page_count();
}

// A durable commit keeps a short free tail for later commits to grow into;
// compaction leaves none. Nothing is committed.
Status cut_free_tail(const std::shared_ptr<Instance>& instance,
                     const std::shared_ptr<const ResolvedSchema>& schema) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  txn->cut_free_tail();
  return ok();
}

}  // namespace

Status cycle_commits(const std::shared_ptr<Instance>& instance,
                     const std::shared_ptr<const ResolvedSchema>& schema) {
  for (int i = 0; i < kCycleCommits; ++i) {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    txn->keep_pages_low();
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
  // No step may leave the file longer than it began.
  const std::uint64_t max_pages = DZ_TRY(page_count_now(instance, schema));
  // A compact file is left as it is (even empty commits move the free-space
  // trees' pages about, and can change its length): relocation would not
  // pay, and no tree that is worth rebuilding fits in its spare pages.
  const std::uint64_t spare = DZ_TRY(spare_pages(instance, schema));
  if (!relocation_pays(max_pages, spare) &&
      !DZ_TRY(any_tree_worth_rebuilding(instance, schema, spare))) {
    DZ_CHECK(cut_free_tail(instance, schema));
    figures.bytes_after = DZ_TRY(instance->storage().len_or_error());
    return figures;
  }
  DZ_CHECK(cycle_commits(instance, schema));
  figures.pages_moved += DZ_TRY(relocate_passes(instance, schema));
  if (DZ_TRY(repack_trees(instance, schema, max_pages))) {
    DZ_CHECK(cycle_commits(instance, schema));
    figures.pages_moved += DZ_TRY(relocate_passes(instance, schema));
  }
  DZ_CHECK(cut_free_tail(instance, schema));
  figures.bytes_after = DZ_TRY(instance->storage().len_or_error());
  return figures;
}

}  // namespace deziro::repack
