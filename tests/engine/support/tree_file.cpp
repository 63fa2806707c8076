#include "support/tree_file.hpp"

#include <cstring>

#include "text_format.hpp"

namespace deziro::testing {

TreeFile::TreeFile(Storage& storage, std::uint32_t page_size, PageProtection protection,
                   std::size_t cache_size)
    : page_size_(page_size),
      protection_(std::move(protection)),
      pager_(storage, page_size, protection_, cache_size),
      source_(pager_) {}

Result<std::uint64_t> TreeFile::allocate_page() {
  std::uint64_t page;
  if (!free_.empty()) {
    page = *free_.begin();
    free_.erase(free_.begin());
  } else {
    page = page_count_++;
  }
  allocated_.insert(page);
  return page;
}

Result<std::uint64_t> TreeFile::allocate_run(std::uint32_t count) {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  for (std::uint64_t page : free_) {
    if (length > 0 && page == start + length) {
      ++length;
    } else {
      start = page;
      length = 1;
    }
    if (length == count) break;
  }
  if (length < count) {
    start = page_count_;
    page_count_ += count;
  } else {
    for (std::uint64_t p = start; p < start + count; ++p) free_.erase(p);
  }
  for (std::uint64_t p = start; p < start + count; ++p) allocated_.insert(p);
  return start;
}

Status TreeFile::write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                             std::span<PageStamp> stamps) {
  std::vector<ConstByteSpan> spans;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    if (!allocated_.contains(first + i))
      return fail(
          Error::internal(format_text("page {} was written without being allocated", first + i)));
    auto page = pages.subspan(i * page_size_, page_size_);
    stamps[i] = DZ_TRY(protection_.seal_page(first + i, page));
    spans.push_back(page);
  }
  return pager_.write_pages(first, spans);
}

Status TreeFile::write_node_page(std::uint64_t page_number, AlignedBuffer& page, PageStamp& stamp,
                                 bool keep) {
  node_writes_.push_back({page_number, PageHeader::read(page.span()).level, keep});
  return write_pages(page_number, page.span(), std::span<PageStamp>(&stamp, 1));
}

void TreeFile::release_pages(std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t p = first; p < first + count; ++p) {
    if (allocated_.erase(p)) {
      free_.insert(p);
    } else {
      retained_.insert(p);
    }
  }
}

void TreeFile::rewrite_page(std::uint64_t page,
                            const std::function<void(std::span<std::uint8_t>)>& change) {
  std::vector<std::uint8_t> bytes(page_size_);
  if (!pager_.read_raw(page, bytes).has_value() || !protection_.open_page(page, bytes))
    std::abort();
  change(bytes);
  if (!protection_.seal_page(page, bytes).has_value()) std::abort();
  if (!pager_.storage().write_at(page * page_size_, bytes).has_value()) std::abort();
}

Result<ChildPointer> TreeFile::write_leaf(LeafLayout layout, std::span<const LeafItem> items,
                                          std::uint64_t tree_id) {
  std::vector<std::uint8_t> bytes(page_size_);
  node::build_leaf(bytes, layout, items, txn_id_, tree_id);
  ChildPointer pointer{DZ_TRY(allocate_page()), txn_id_, {}};
  DZ_CHECK(write_pages(pointer.page, bytes, std::span<PageStamp>(&pointer.stamp, 1)));
  return pointer;
}

Result<ChildPointer> TreeFile::write_branch(std::uint8_t level, std::span<const ByteView> keys,
                                            std::span<const ChildPointer> children,
                                            std::uint64_t tree_id) {
  std::vector<std::uint8_t> bytes(page_size_);
  node::build_branch(bytes, level, keys, children, txn_id_, tree_id);
  ChildPointer pointer{DZ_TRY(allocate_page()), txn_id_, {}};
  DZ_CHECK(write_pages(pointer.page, bytes, std::span<PageStamp>(&pointer.stamp, 1)));
  return pointer;
}

void TreeFile::commit() {
  free_.insert(retained_before_.begin(), retained_before_.end());
  retained_before_ = std::move(retained_);
  retained_.clear();
  allocated_.clear();
  committed_page_count_ = page_count_;
  committed_free_ = free_;
  ++txn_id_;
}

void TreeFile::abort() {
  allocated_.clear();
  retained_.clear();
  page_count_ = committed_page_count_;
  free_ = committed_free_;
}

std::vector<std::string> TreeFile::account(const TreeCheckReport& report) const {
  std::vector<std::string> problems;
  std::vector<int> seen(page_count_, 0);
  auto mark = [&](std::uint64_t p, const char* what) {
    if (p == 0 || p >= page_count_) {
      problems.push_back(format_text("page {} ({}) lies outside the file", p, what));
    } else if (seen[p]++) {
      problems.push_back(format_text("page {} ({}) is counted twice", p, what));
    }
  };
  for (const UsedRun& run : report.pages)
    for (std::uint64_t p = run.first; p < run.first + run.count; ++p) mark(p, "used");
  for (std::uint64_t p : free_) mark(p, "free");
  for (std::uint64_t p : retained_before_) mark(p, "retained");
  for (std::uint64_t p = 1; p < page_count_; ++p)
    if (!seen[p]) problems.push_back(format_text("page {} leaked", p));
  return problems;
}

}  // namespace deziro::testing
