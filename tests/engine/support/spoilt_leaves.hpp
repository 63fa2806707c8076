// A NodeSource that hands out each leaf (and, when asked, each branch) as a
// copy of its own, overwritten when the last view of it goes: a reader or a
// tree that reads a node it no longer holds sees other bytes. It also counts the copies still held
// and those whose bytes changed while held (nothing may write a page image).
#pragma once

#include <cstring>
#include <memory>

#include "btree/pager/page_io.hpp"

namespace deziro::testing {

class SpoiltLeaves final : public NodeSource {
 public:
  explicit SpoiltLeaves(NodeSource& inner, bool branches = false)
      : inner_(inner), branches_(branches) {}
  std::uint32_t page_size() const override { return inner_.page_size(); }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override {
    NodeView view = DZ_TRY(inner_.fetch_node(pointer, tree_id, level));
    if (!view.is_leaf() && !branches_) return view;
    const std::uint32_t size = view.page_size();
    // The image, then the bytes it must keep.
    auto* bytes = new std::uint8_t[2 * size];
    std::memcpy(bytes, view.page(), size);
    std::memcpy(bytes + size, view.page(), size);
    ++live_;
    std::shared_ptr<const std::uint8_t> page(bytes, [this, size](const std::uint8_t* p) {
      if (std::memcmp(p, p + size, size) != 0) ++written_;
      std::memset(const_cast<std::uint8_t*>(p), 0xEE, size);
      delete[] p;
      --live_;
    });
    auto copy = NodeView::from_page(std::move(page), size);
    if (!copy) return fail(corrupted(copy.error()));
    return *copy;
  }
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override {
    return inner_.read_pages(first, count, run);
  }
  Error corrupted(std::string message) const override {
    return inner_.corrupted(std::move(message));
  }

  // Copies not yet let go.
  int live() const { return live_; }
  // Copies whose bytes changed while they were held.
  int written() const { return written_; }

 private:
  NodeSource& inner_;
  bool branches_;
  int live_ = 0;
  int written_ = 0;
};

}  // namespace deziro::testing
