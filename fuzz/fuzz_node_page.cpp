// Node pages: any bytes offered as a page of 4096 or 8192 bytes whose check
// already passed. A page the parser accepts must let every accessor read
// inside the page (ASan watches the page's exact allocation).
#include <cstring>
#include <memory>

#include "format/node.hpp"
#include "support/fuzz_support.hpp"

using namespace deziro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t page_size = data[0] & 1 ? 8192 : 4096;
  std::shared_ptr<std::uint8_t> page(new std::uint8_t[page_size](),
                                     std::default_delete<std::uint8_t[]>());
  std::memcpy(page.get(), data + 1, std::min<std::size_t>(size - 1, page_size));
  auto view = NodeView::from_page(page, page_size);
  if (!view) return 0;
  std::uint64_t sum = view->commit_id() + view->tree_id() + view->used_bytes() + view->level();
  const std::uint8_t probe[] = {0x61, 0x62, 0xFF};
  std::vector<ByteView> keys{ByteView(probe), ByteView()};
  for (std::size_t i = 0; i < view->count(); ++i) keys.push_back(view->key_at(i));
  for (std::size_t i = 0; i < view->count(); ++i) {
    if (!view->is_leaf()) continue;
    const LeafCell cell = view->cell_at(i);
    sum += cell.key.size() + cell.value.size() + cell.ref.length;
    for (std::uint8_t b : cell.value) sum += b;
    auto owned = view->entry_owned(i);
    if (owned) sum += owned->key.size() + owned->value.size();
  }
  for (std::size_t i = 0; i < view->child_count(); ++i) sum += view->child_at(i).page;
  for (ByteView key : keys) {
    for (std::uint8_t b : key) sum += b;
    const std::size_t lower = view->lower_bound(key);
    const std::size_t upper = view->upper_bound(key);
    FUZZ_CHECK(lower <= view->count() && upper <= view->count(), "a search stays in the node");
    if (!view->is_leaf()) FUZZ_CHECK(view->child_index(key) < view->child_count(), "a child");
  }
  volatile std::uint64_t sink = sum;
  (void)sink;
  return 0;
}
