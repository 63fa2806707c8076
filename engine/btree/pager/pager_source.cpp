#include "btree/pager/pager_source.hpp"

#include <cstring>
#include <new>

#include "storage/block_arena.hpp"
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
// The node of a page read into the cache takes its block from the block
// arena, as its page's bytes did (AlignedBuffer::for_cache); others from
// the allocator. Each kind has its own list: a writer frees both as it
// replaces pages, and one list, holding one shape at a time, kept the
// blocks of whichever kind came first and sent the other's to the
// allocator, whose aligned road the nodes of written pages then took.
struct NodeBlockShape {
  std::size_t size = 0;
  std::align_val_t alignment{};
  bool arena = false;
  void* allocate() const {
    return arena ? block_arena::allocate(size) : ::operator new(size, alignment);
  }
  void free(void* block) const {
    if (arena) {
      block_arena::release(block, size);
    } else {
      ::operator delete(block, size, alignment);
    }
  }
  bool operator==(const NodeBlockShape&) const = default;
};

thread_local SpareBlocks<NodeBlockShape, 64> t_arena_node_blocks;
thread_local SpareBlocks<NodeBlockShape, 64> t_heap_node_blocks;

SpareBlocks<NodeBlockShape, 64>& spares_for(const NodeBlockShape& shape) {
  return shape.arena ? t_arena_node_blocks : t_heap_node_blocks;
}

// Allocates what std::allocate_shared places a node in (the node beside
// its counts), reusing the calling thread's kept blocks; from the arena
// when `arena` and the arena serves the block's size (64-aligned).
template <class T>
struct NodeBlockAllocator {
  using value_type = T;
  explicit NodeBlockAllocator(bool arena) : arena(arena) {}
  template <class U>
  NodeBlockAllocator(const NodeBlockAllocator<U>& other) noexcept : arena(other.arena) {}

  NodeBlockShape shape(std::size_t n) const {
    const std::size_t size = n * sizeof(T);
    return {size, std::align_val_t{alignof(T)},
            arena && alignof(T) <= 64 && block_arena::serves(size)};
  }
  T* allocate(std::size_t n) {
    const NodeBlockShape block = shape(n);
    return static_cast<T*>(spares_for(block).take_or_allocate(block));
  }
  void deallocate(T* block, std::size_t n) noexcept {
    const NodeBlockShape kept = shape(n);
    spares_for(kept).keep_or_free(block, kept, n * sizeof(T));
  }
  friend bool operator==(const NodeBlockAllocator& a, const NodeBlockAllocator& b) {
    return a.arena == b.arena;
  }

  bool arena;
};

}  // namespace

std::size_t spare_node_blocks() { return t_arena_node_blocks.count() + t_heap_node_blocks.count(); }

namespace {

// The view borrows the page's bytes; the cache entry that holds both owns
// them.
std::shared_ptr<const std::uint8_t> borrowed_bytes(const OpenedPage& page) {
  return std::shared_ptr<const std::uint8_t>(std::shared_ptr<const void>(),
                                             page.bytes.span().data());
}

std::shared_ptr<const CachedNode> make_cached_node(OpenedPage page, NodeView view,
                                                   std::uint64_t succession = 0) {
  const bool arena = page.bytes.in_arena();
  return std::allocate_shared<const CachedNode>(NodeBlockAllocator<CachedNode>(arena),
                                                std::move(page), std::move(view), succession);
}

// A node's tree, level and first key, mixed; never 0.
std::uint64_t mark_of(std::uint64_t tree_id, std::uint8_t level, ByteView first) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = (tree_id * kMul) ^ (std::uint64_t{level} << 56);
  std::size_t at = 0;
  for (; at + 8 <= first.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, first.data() + at, 8);
    h = (h ^ word) * kMul;
    h ^= h >> 29;
  }
  std::uint64_t tail = first.size();
  for (; at < first.size(); ++at) tail = tail << 8 | first[at];
  h = (h ^ tail) * 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h == 0 ? 1 : h;
}

std::uint64_t succession_of(const NodeView& view) {
  return mark_of(view.tree_id(), view.level(), view.count() > 0 ? view.key_at(0) : ByteView());
}

// The mark parse_node gives the image of an opened page, before it is
// parsed; 0 when the page does not read as a node with a key.
std::uint64_t node_mark_hint(std::span<const std::uint8_t> page) {
  const std::optional<ByteView> first = NodeView::first_key_of(page);
  if (!first) return 0;
  const PageHeader header = PageHeader::read(page);
  return mark_of(header.tree_id, header.level, *first);
}

// A node read from the file, its mark worked out when `marked`.
Result<std::shared_ptr<const CachedPage>> parse_node(OpenedPage page, std::string_view path,
                                                     bool marked) {
  auto view = NodeView::from_page(borrowed_bytes(page),
                                  static_cast<std::uint32_t>(page.bytes.span().size()));
  if (!view)
    return fail(Error::corrupted(std::string(path),
                                 format_text("page {}: {}", page.page_number, view.error())));
  const std::uint64_t succession = marked ? succession_of(*view) : 0;
  return make_cached_node(std::move(page), std::move(*view), succession);
}

}  // namespace

Result<std::shared_ptr<const CachedPage>> parse_node_page(OpenedPage page, std::string_view path) {
  return parse_node(std::move(page), path, true);
}

std::shared_ptr<const CachedPage> remember_written_node(const Pager& pager, OpenedPage page) {
  // Unmarked, as a built node is: a commit need not hash the keys of the
  // pages it writes (the images they replace wait for the clock).
  auto parsed = parse_node(std::move(page), pager.storage().path(), false);
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
                                   bool keep, bool* hit) {
  auto cached = DZ_TRY(
      pager.fetch_page(pointer, tree_id, level, &parse_node_page, keep, hit, &node_mark_hint));
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
