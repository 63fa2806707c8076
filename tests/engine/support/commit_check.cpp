#include "support/commit_check.hpp"

#include "btree/check.hpp"
#include "btree/cursor.hpp"
#include "text_format.hpp"
#include "txn/catalog.hpp"
#include "txn/free_space.hpp"

namespace deziro::testing {
namespace {

std::string as_string(ByteView b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

Result<std::map<std::string, TreeDescriptor>> list_catalog(NodeSource& source,
                                                           const CommitRecord& record) {
  std::map<std::string, TreeDescriptor> out;
  auto visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    out[as_string(key)] = DZ_TRY(TreeDescriptor::decode(value, source));
    return VisitAnswer::Continue;
  };
  DZ_CHECK(read::scan_forward(ReadContext{source, kCatalogTreeId},
                              TreeRoot::on_disk(record.catalog), KeyBound::unbounded(),
                              KeyBound::unbounded(), visitor));
  return out;
}

}  // namespace

std::vector<std::string> check_commit(NodeSource& source, const CommitRecord& record) {
  std::vector<std::string> problems;
  std::vector<int> owner(record.page_count, 0);
  auto mark = [&](std::uint64_t first, std::uint64_t count, const std::string& what) {
    for (std::uint64_t p = first; p < first + count; ++p) {
      if (p == 0 || p >= record.page_count) {
        problems.push_back(format_text("{} uses page {} outside the file", what, p));
        continue;
      }
      if (owner[p]++ > 0) problems.push_back(format_text("page {} is used twice ({})", p, what));
    }
  };
  auto check = [&](std::uint64_t tree_id, const ChildPointer& root, const std::string& what) {
    auto report = btree::check_tree(ReadContext{source, tree_id}, root);
    for (auto& p : report.problems) problems.push_back(what + ": " + p);
    for (auto& r : report.pages) mark(r.first, r.count, what);
    return report;
  };
  check(kCatalogTreeId, record.catalog, "catalog");
  check(kFreeTreeId, record.free_tree, "free tree");
  check(kRetainedTreeId, record.retained_tree, "retained tree");
  if (!problems.empty()) return problems;

  auto trees = list_catalog(source, record);
  if (!trees) return {trees.error().to_string()};
  for (auto& [name, d] : *trees) {
    auto report = check(d.tree_id, d.root, "tree " + name);
    if (report.ok() && report.entries != d.entry_count)
      problems.push_back(format_text("tree {} counts {} entries but holds {}", name, d.entry_count,
                                     report.entries));
  }
  auto free_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    auto run = free_space::decode_free(source, key, value);
    if (!run)
      problems.push_back(run.error().to_string());
    else
      mark(run->first, run->count, "free run");
    return VisitAnswer::Continue;
  };
  auto s = read::scan_forward(ReadContext{source, kFreeTreeId}, TreeRoot::on_disk(record.free_tree),
                              KeyBound::unbounded(), KeyBound::unbounded(), free_visitor);
  if (!s) problems.push_back(s.error().to_string());
  auto retained_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    if (free_space::retained_commit(key) > record.txn_id)
      problems.push_back("a retained group is newer than its commit");
    auto runs = free_space::decode_retained(source, key, value);
    if (!runs)
      problems.push_back(runs.error().to_string());
    else
      for (auto r : *runs) mark(r.first, r.count, "retained run");
    return VisitAnswer::Continue;
  };
  s = read::scan_forward(ReadContext{source, kRetainedTreeId},
                         TreeRoot::on_disk(record.retained_tree), KeyBound::unbounded(),
                         KeyBound::unbounded(), retained_visitor);
  if (!s) problems.push_back(s.error().to_string());
  for (std::uint64_t p = 1; p < record.page_count; ++p)
    if (owner[p] == 0) problems.push_back(format_text("page {} is leaked", p));
  return problems;
}

Result<std::map<std::string, std::map<std::string, std::string>>> read_all_trees(
    NodeSource& source, const CommitRecord& record) {
  std::map<std::string, std::map<std::string, std::string>> out;
  auto trees = DZ_TRY(list_catalog(source, record));
  for (auto& [name, d] : trees) {
    auto& entries = out[name];
    auto visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
      entries[as_string(key)] = as_string(value);
      return VisitAnswer::Continue;
    };
    DZ_CHECK(read::scan_forward(ReadContext{source, d.tree_id}, TreeRoot::on_disk(d.root),
                                KeyBound::unbounded(), KeyBound::unbounded(), visitor));
  }
  return out;
}

}  // namespace deziro::testing
