#include "btree/pager/pager.hpp"

#include "invariant.hpp"
#include "text_format.hpp"

namespace deziro {

namespace {

Result<std::shared_ptr<const CachedPage>> plain_page(OpenedPage page, std::string_view) {
  return std::make_shared<const CachedPage>(std::move(page));
}

}  // namespace

Pager::Pager(Storage& storage, std::uint32_t page_size, const PageProtection& protection,
             std::size_t cache_size)
    : storage_(storage),
      page_size_(page_size),
      protection_(protection),
      cache_(cache_size, page_size) {
  DZ_ASSERT(is_valid_page_size(page_size));
}

Error Pager::corrupted(std::string message) const {
  return Error::corrupted(storage_.path(), std::move(message));
}

std::optional<std::uint64_t> Pager::page_offset(std::uint64_t first_page, std::size_t count) const {
  // Pages beyond what a file offset can address lie past any real file's end.
  std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX) / page_size_;
  if (first_page >= limit || count > limit - first_page) return std::nullopt;
  return first_page * page_size_;
}

Error Pager::runs_past_end(std::uint64_t first_page) const {
  return corrupted(format_text("a read from page {} on runs past the end of the file", first_page));
}

Status Pager::read_raw(std::uint64_t first_page, std::span<std::uint8_t> out) const {
  DZ_ASSERT(out.size() % page_size_ == 0);
  auto offset = page_offset(first_page, out.size() / page_size_);
  if (!offset) return fail(runs_past_end(first_page));
  std::size_t got = DZ_TRY(storage_.read_at(*offset, out));
  if (got != out.size()) return fail(runs_past_end(first_page));
  return ok();
}

Status Pager::check_against_pointer(const PageStamp& stamp, const PageHeader& header,
                                    const ChildPointer& pointer, std::uint64_t tree_id,
                                    std::optional<std::uint8_t> expected_level) const {
  std::uint64_t number = pointer.page;
  if (stamp != pointer.stamp)
    return fail(corrupted(format_text("page {}: its stamp differs from its parent's", number)));
  switch (mismatch(header, pointer, tree_id, expected_level)) {
    case Mismatch::none:
      return ok();
    case Mismatch::unknown_kind:
      return fail(corrupted(format_text("page {}: its kind {} is unknown", number, header.kind)));
    case Mismatch::overflow:
      return fail(corrupted(format_text("page {}: it is an overflow page, not a node", number)));
    case Mismatch::kind_level:
      return fail(corrupted(format_text("page {}: its kind {} does not go with level {}", number,
                                        header.kind, header.level)));
    case Mismatch::commit:
      return fail(corrupted(format_text("page {}: it belongs to another commit", number)));
    case Mismatch::tree:
      return fail(corrupted(format_text("page {}: it belongs to another tree", number)));
    case Mismatch::level:
      break;
  }
  return fail(corrupted(
      format_text("page {}: its level is {}, not {}", number, header.level, *expected_level)));
}

Result<std::shared_ptr<const CachedPage>> Pager::fetch_page(
    const ChildPointer& pointer, std::uint64_t tree_id, std::optional<std::uint8_t> expected_level,
    PageParser parser, bool keep, bool* hit, PageMarkHint mark_hint) const {
  if (parser == nullptr) parser = &plain_page;
  if (hit != nullptr) *hit = false;
  // A hit is still checked against the pointer: the same image reached from
  // the wrong tree or level is damage all the same. A page the cache surely
  // lacks is not looked up under a lock; the slot its entry takes is on its
  // way while the page is read.
  if (cache_.surely_missing(pointer.page)) {
    if (keep) cache_.prefetch_slot(pointer.page);
  } else if (auto found = cache_.get(pointer.page, pointer.stamp, parser)) {
    DZ_CHECK(
        check_against_pointer(found->stamp(), found->header(), pointer, tree_id, expected_level));
    if (hit != nullptr) *hit = true;
    return found;
  }

  OpenedPage opened;
  opened.page_number = pointer.page;
  opened.bytes = AlignedBuffer::for_cache(page_size_);
  DZ_CHECK(read_raw(pointer.page, opened.bytes.span()));
  auto stamp = protection_.open_page(pointer.page, opened.bytes.span());
  if (!stamp) return fail(corrupted(format_text("page {} fails its check", pointer.page)));
  opened.stamp = *stamp;
  opened.header = PageHeader::read(opened.bytes.span());
  // The place the image's mark takes in the cache, a miss of its own, is
  // on its way while the page is parsed.
  if (keep && mark_hint != nullptr) cache_.prefetch_succession(mark_hint(opened.bytes.span()));

  // Checked before parsing: a parser may rely on the kind and level.
  DZ_CHECK(check_against_pointer(opened.stamp, opened.header, pointer, tree_id, expected_level));

  auto parsed = DZ_TRY(parser(std::move(opened), storage_.path()));
  if (keep) cache_.insert(parsed, parser);
  return parsed;
}

Status Pager::read_pages_into(std::uint64_t first_page, std::size_t count, PageRun& run) const {
  std::size_t size = count * page_size_;
  if (run.bytes.size() < size) run.bytes = AlignedBuffer(size);
  run.first_page = first_page;
  run.page_size = page_size_;
  run.stamps.clear();
  auto bytes = run.bytes.span().first(size);
  DZ_CHECK(read_raw(first_page, bytes));
  for (std::size_t i = 0; i < count; ++i) {
    auto stamp = protection_.open_page(first_page + i, bytes.subspan(i * page_size_, page_size_));
    if (!stamp) return fail(corrupted(format_text("page {} fails its check", first_page + i)));
    run.stamps.push_back(*stamp);
  }
  return ok();
}

Result<PageRun> Pager::read_pages(std::uint64_t first_page, std::size_t count) const {
  PageRun run;
  DZ_CHECK(read_pages_into(first_page, count, run));
  return run;
}

Status Pager::write_pages(std::uint64_t first_page, std::span<const ConstByteSpan> pages) const {
  for ([[maybe_unused]] auto page : pages) DZ_ASSERT(page.size() == page_size_);
  auto offset = page_offset(first_page, pages.size());
  if (!offset)
    return fail(Error::internal(format_text("page {} lies beyond the largest file", first_page)));
  return storage_.write_vectored_at(*offset, pages);
}

}  // namespace deziro
