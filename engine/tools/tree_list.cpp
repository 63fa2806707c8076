#include "tools/tree_list.hpp"

#include "btree/cursor.hpp"
#include "format/record.hpp"
#include "txn/catalog.hpp"

namespace deziro::repack {

Result<std::vector<std::string>> list_trees(NodeSource& source, const ChildPointer& catalog_root) {
  std::vector<std::string> names;
  if (catalog_root.page == 0) return names;
  names.reserve(4);
  auto cursor = DZ_TRY(RangeCursor::open(ReadContext{source, kCatalogTreeId}, catalog_root,
                                         KeyBound::unbounded(), KeyBound::unbounded(), false));
  if (!cursor) return names;
  while (auto name = DZ_TRY(catalog::list_tree_names(*cursor))) names.push_back(std::move(*name));
  return names;
}

}  // namespace deziro::repack
