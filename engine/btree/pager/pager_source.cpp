#include "btree/pager/pager_source.hpp"

#include <new>

#include "storage/spare_blocks.hpp"
#include "text_format.hpp"

namespace deziro {

namespace {

// Cached nodes come and go with the pages they hold: a reader beside a
// writer reads again the root and the branches each commit replaced, and
// lets go of their old images. A node's block is line-aligned, which the
// allocator serves through its slow aligned road and which, freed long
// untouched, merges with cold neighbours. So each thread keeps a few node
// blocks it freed for its next nodes, as it keeps page buffers.
struct NodeBlockShape {
  std::size_t size = 0;
  std::align_val_t alignment{};
  void free(void* block) const { ::operator delete(block, size, alignment); }
  bool operator==(const NodeBlockShape&) const = default;
};

thread_local SpareBlocks<NodeBlockShape, 64> t_node_blocks;

// Allocates what std::allocate_shared places a node in (the node beside
// its counts), reusing the calling thread's kept blocks.
template <class T>
struct NodeBlockAllocator {
  using value_type = T;
  NodeBlockAllocator() = default;
  template <class U>
  NodeBlockAllocator(const NodeBlockAllocator<U>&) noexcept {}

  static NodeBlockShape shape(std::size_t n) {
    return {n * sizeof(T), std::align_val_t{alignof(T)}};
  }
  T* allocate(std::size_t n) {
    if (void* kept = t_node_blocks.take(shape(n))) return static_cast<T*>(kept);
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{alignof(T)}));
  }
  void deallocate(T* block, std::size_t n) noexcept {
    if (!t_node_blocks.keep(block, shape(n), n * sizeof(T))) shape(n).free(block);
  }
  friend bool operator==(const NodeBlockAllocator&, const NodeBlockAllocator&) { return true; }
};

}  // namespace

std::size_t spare_node_blocks() { return t_node_blocks.count(); }

namespace {

// The view borrows the page's bytes; the cache entry that holds both owns
// them.
std::shared_ptr<const std::uint8_t> borrowed_bytes(const OpenedPage& page) {
  return std::shared_ptr<const std::uint8_t>(std::shared_ptr<const void>(),
                                             page.bytes.span().data());
}

std::shared_ptr<const CachedNode> make_cached_node(OpenedPage page, NodeView view) {
  return std::allocate_shared<const CachedNode>(NodeBlockAllocator<CachedNode>(), std::move(page),
                                                std::move(view));
}

}  // namespace

Result<std::shared_ptr<const CachedPage>> parse_node_page(OpenedPage page, std::string_view path) {
  auto view = NodeView::from_page(borrowed_bytes(page),
                                  static_cast<std::uint32_t>(page.bytes.span().size()));
  if (!view)
    return fail(Error::corrupted(std::string(path),
                                 format_text("page {}: {}", page.page_number, view.error())));
  return make_cached_node(std::move(page), std::move(*view));
}

std::shared_ptr<const CachedPage> remember_written_node(const Pager& pager, OpenedPage page) {
  auto parsed = parse_node_page(std::move(page), pager.storage().path());
  if (!parsed) return nullptr;
  pager.cache().insert(*parsed, &parse_node_page);
  return std::move(*parsed);
}

std::shared_ptr<const CachedPage> remember_built_node(const Pager& pager, OpenedPage page) {
  NodeView view = NodeView::of_built_page(borrowed_bytes(page), pager.page_size());
  std::shared_ptr<const CachedPage> node = make_cached_node(std::move(page), std::move(view));
  pager.cache().insert(node, &parse_node_page);
  return node;
}

Result<NodeView> fetch_cached_node(const Pager& pager, const ChildPointer& pointer,
                                   std::uint64_t tree_id, std::optional<std::uint8_t> level,
                                   bool keep) {
  auto cached = DZ_TRY(pager.fetch_page(pointer, tree_id, level, &parse_node_page, keep));
  auto node = std::static_pointer_cast<const CachedNode>(std::move(cached));
  const NodeView& view = node->view();
  const std::uint8_t* bytes = view.page();
  return view.with_owner(std::shared_ptr<const std::uint8_t>(std::move(node), bytes));
}

Result<NodeView> PagerSource::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                         std::optional<std::uint8_t> level) {
  return fetch_cached_node(pager_, pointer, tree_id, level);
}

Status PagerSource::read_pages(std::uint64_t first, std::size_t count, PageRun& run) {
  return pager_.read_pages_into(first, count, run);
}

Error PagerSource::corrupted(std::string message) const {
  return Error::corrupted(pager_.storage().path(), std::move(message));
}

}  // namespace deziro
