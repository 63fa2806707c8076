#include "support/tree_file.hpp"

#include <cstring>

#include "text_format.hpp"

namespace deziro::testing {

TreeFile::TreeFile(Storage& storage, std::uint32_t page_size, PageProtection protection)
    : storage_(storage), page_size_(page_size), protection_(std::move(protection)) {}

Error TreeFile::corrupted(std::string message) const {
  return Error::corrupted(storage_.path(), std::move(message));
}

Result<NodeView> TreeFile::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                      std::optional<std::uint8_t> level) {
  ++fetches_;
  std::shared_ptr<std::uint8_t[]> buffer(new std::uint8_t[page_size_]);
  std::span<std::uint8_t> page(buffer.get(), page_size_);
  DZ_CHECK(storage_.read_exact_at(pointer.page * page_size_, page));
  std::optional<PageStamp> stamp = protection_.open_page(pointer.page, page);
  if (!stamp) return fail(corrupted(format_text("page {} fails its check", pointer.page)));
  if (*stamp != pointer.stamp)
    return fail(
        corrupted(format_text("page {}: its stamp differs from its parent's", pointer.page)));
  auto view =
      NodeView::from_page(std::shared_ptr<const std::uint8_t>(buffer, buffer.get()), page_size_);
  if (!view) return fail(corrupted(format_text("page {}: {}", pointer.page, view.error())));
  if (view->commit_id() != pointer.commit_id)
    return fail(corrupted(format_text("page {}: it belongs to another commit", pointer.page)));
  if (view->tree_id() != tree_id)
    return fail(corrupted(format_text("page {}: it belongs to another tree", pointer.page)));
  if (level && view->level() != *level)
    return fail(corrupted(
        format_text("page {}: its level is {}, not {}", pointer.page, view->level(), *level)));
  return std::move(*view);
}

Status TreeFile::read_pages(std::uint64_t first, std::span<std::uint8_t> out,
                            std::span<PageStamp> stamps) {
  DZ_CHECK(storage_.read_exact_at(first * page_size_, out));
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    std::optional<PageStamp> stamp =
        protection_.open_page(first + i, out.subspan(i * page_size_, page_size_));
    if (!stamp) return fail(corrupted(format_text("page {} fails its check", first + i)));
    stamps[i] = *stamp;
  }
  return ok();
}

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
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    if (!allocated_.contains(first + i))
      return fail(
          Error::internal(format_text("page {} was written without being allocated", first + i)));
    stamps[i] = DZ_TRY(protection_.seal_page(first + i, pages.subspan(i * page_size_, page_size_)));
  }
  return storage_.write_at(first * page_size_, pages);
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
