#include "btree/overflow.hpp"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/bytes.hpp"
#include "text_format.hpp"

namespace deziro {

namespace {

constexpr std::size_t kRunIndexOffset = 48;
constexpr std::size_t kRunPayloadOffset = 52;

}  // namespace

PageStamp overflow_run_check(std::span<const PageStamp> stamps) {
  XXH3_state_t* state = XXH3_createState();
  XXH3_128bits_reset(state);
  for (const PageStamp& stamp : stamps)
    XXH3_128bits_update(state, stamp.bytes.data(), stamp.bytes.size());
  XXH128_hash_t hash = XXH3_128bits_digest(state);
  XXH3_freeState(state);
  PageStamp check;
  store_u64_le(check.bytes.data(), hash.low64);
  store_u64_le(check.bytes.data() + 8, hash.high64);
  return check;
}

namespace load {

Status read_overflow_run(NodeSource& source, const OverflowRef& ref, std::uint64_t tree_id,
                         std::string& out) {
  const std::uint32_t page_size = source.page_size();
  const std::size_t room = node::overflow_payload(page_size);
  if (ref.page_count == 0 || ref.page_count != node::overflow_page_count(page_size, ref.length))
    return fail(
        source.corrupted(format_text("page {}: an overflow run of {} pages cannot hold {} bytes",
                                     ref.first_page, ref.page_count, ref.length)));
  const std::uint32_t batch = node::overflow_batch_pages(page_size);
  // The value grows as its pages pass their checks, so a damaged reference
  // that claims gigabytes fails at its first page, not at an allocation.
  out.clear();
  out.reserve(std::min<std::size_t>(ref.length, std::size_t{batch} * room));
  PageRun run;
  std::vector<PageStamp> stamps;
  stamps.reserve(std::min(ref.page_count, batch));
  std::size_t copied = 0;
  for (std::uint32_t done = 0; done < ref.page_count;) {
    std::uint32_t n = std::min(batch, ref.page_count - done);
    DZ_CHECK(source.read_pages(ref.first_page + done, n, run));
    stamps.insert(stamps.end(), run.stamps.begin(), run.stamps.end());
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint8_t* p = run.page(i).data();
      std::uint64_t page_number = ref.first_page + done + i;
      PageHeader header = PageHeader::read(std::span<const std::uint8_t>(p, page_size));
      std::uint32_t index = load_u32_le(p + kRunIndexOffset);
      std::uint32_t payload = load_u32_le(p + kRunPayloadOffset);
      std::size_t expected = std::min(room, ref.length - copied);
      const char* problem = nullptr;
      if (header.kind != static_cast<std::uint8_t>(PageKind::Overflow) || header.level != 0) {
        problem = "it is not an overflow page";
      } else if (header.commit_id != ref.commit_id) {
        problem = "it belongs to another commit";
      } else if (header.tree_id != tree_id) {
        problem = "it belongs to another tree";
      } else if (index != done + i || payload != expected) {
        problem = "it holds another part of an overflow run";
      }
      if (problem) return fail(source.corrupted(format_text("page {}: {}", page_number, problem)));
      out.append(reinterpret_cast<const char*>(p + kPageContentOffset), expected);
      copied += expected;
    }
    done += n;
  }
  if (overflow_run_check(stamps) != ref.check)
    return fail(
        source.corrupted(format_text("page {}: the overflow run fails its check", ref.first_page)));
  return ok();
}

}  // namespace load

namespace write {

Result<OverflowRef> write_overflow_run(PageSink& sink, std::uint32_t page_size,
                                       std::uint64_t commit_id, std::uint64_t tree_id,
                                       ByteView value) {
  const std::size_t room = node::overflow_payload(page_size);
  const std::uint64_t count = node::overflow_page_count(page_size, value.size());
  if (count == 0 || count > 0xFFFFFFFFull || value.size() > node::kMaxValueLen)
    return fail(Error::internal(format_text("an overflow run of {} bytes", value.size())));
  OverflowRef ref;
  ref.page_count = static_cast<std::uint32_t>(count);
  ref.length = static_cast<std::uint32_t>(value.size());
  ref.commit_id = commit_id;
  ref.first_page = DZ_TRY(sink.allocate_run(ref.page_count));
  const std::uint32_t batch = node::overflow_batch_pages(page_size);
  std::vector<std::uint8_t> buffer(std::size_t{std::min<std::uint32_t>(batch, ref.page_count)} *
                                   page_size);
  std::vector<PageStamp> stamps(ref.page_count);
  std::size_t copied = 0;
  for (std::uint32_t done = 0; done < ref.page_count;) {
    std::uint32_t n = std::min(batch, ref.page_count - done);
    std::span<std::uint8_t> pages(buffer.data(), std::size_t{n} * page_size);
    std::memset(pages.data(), 0, pages.size());
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint8_t* p = pages.data() + std::size_t{i} * page_size;
      std::size_t part = std::min(room, value.size() - copied);
      PageHeader{static_cast<std::uint8_t>(PageKind::Overflow), 0, commit_id, tree_id}.write(
          std::span<std::uint8_t>(p, page_size));
      store_u32_le(p + kRunIndexOffset, done + i);
      store_u32_le(p + kRunPayloadOffset, static_cast<std::uint32_t>(part));
      std::memcpy(p + kPageContentOffset, value.data() + copied, part);
      copied += part;
    }
    DZ_CHECK(sink.write_pages(ref.first_page + done, pages,
                              std::span<PageStamp>(stamps.data() + done, n)));
    done += n;
  }
  ref.check = overflow_run_check(stamps);
  return ref;
}

}  // namespace write

}  // namespace deziro
