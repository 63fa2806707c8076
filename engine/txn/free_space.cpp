#include "txn/free_space.hpp"

#include <iterator>

#include "format/bytes.hpp"
#include "text_format.hpp"

namespace deziro {

namespace free_space {

std::array<std::uint8_t, 8> free_key(std::uint64_t first) {
  std::array<std::uint8_t, 8> k;
  store_u64_be(k.data(), first);
  return k;
}

std::array<std::uint8_t, 8> free_value(std::uint64_t count) {
  std::array<std::uint8_t, 8> v;
  store_u64_le(v.data(), count);
  return v;
}

Result<PageRunEntry> decode_free(const NodeSource& source, ByteView key, ByteView value) {
  if (key.size() != 8 || value.size() != 8)
    return fail(source.corrupted("the free tree: a free tree entry has the wrong size"));
  std::uint64_t first = load_u64_be(key.data());
  std::uint64_t count = load_u64_le(value.data());
  if (first == 0 || count == 0 || count > 0xFFFFFFFFull)
    return fail(source.corrupted(
        format_text("the free tree: the free run at page {} is impossible", first)));
  return PageRunEntry{first, std::uint32_t(count)};
}

std::array<std::uint8_t, 12> retained_key(std::uint64_t commit_id, std::uint32_t chunk) {
  std::array<std::uint8_t, 12> k;
  store_u64_be(k.data(), commit_id);
  store_u32_be(k.data() + 8, chunk);
  return k;
}

std::uint64_t retained_commit(ByteView key) {
  return key.size() >= 8 ? load_u64_be(key.data()) : 0;
}

Result<std::vector<PageRunEntry>> decode_retained(const NodeSource& source, ByteView key,
                                                  ByteView value) {
  if (key.size() != 12 || value.empty() || value.size() % 12 != 0)
    return fail(source.corrupted("the retained tree: a retained tree entry has the wrong size"));
  std::vector<PageRunEntry> runs;
  for (std::size_t at = 0; at < value.size(); at += 12) {
    PageRunEntry r{load_u64_le(value.data() + at), load_u32_le(value.data() + at + 8)};
    if (r.first == 0 || r.count == 0)
      return fail(source.corrupted(
          format_text("the retained tree: a retained run at page {} is impossible", r.first)));
    runs.push_back(r);
  }
  return runs;
}

std::size_t runs_per_chunk(std::uint32_t page_size) { return (page_size - 268) / 4 / 12; }

std::vector<std::string> encode_group(const space::FreeRuns& runs, std::uint32_t page_size) {
  std::vector<std::string> chunks;
  std::size_t per_chunk = runs_per_chunk(page_size);
  // Each chunk takes its room at once (a run longer than 2^32 - 1 pages,
  // cut in pieces, may add one more block).
  auto chunk_room = [&](std::size_t runs_left) {
    std::string chunk;
    chunk.reserve(12 * std::min(per_chunk, std::max<std::size_t>(runs_left, 1)));
    return chunk;
  };
  std::size_t runs_left = runs.size();
  std::string current = chunk_room(runs_left);
  auto push_run = [&](std::uint64_t first, std::uint32_t count) {
    if (current.size() / 12 == per_chunk) {
      chunks.push_back(std::move(current));
      current = chunk_room(runs_left);
    }
    std::uint8_t b[12];
    store_u64_le(b, first);
    store_u32_le(b + 8, count);
    current.append(reinterpret_cast<const char*>(b), 12);
  };
  for (const auto& [run_first, run_count] : runs) {
    std::uint64_t first = run_first, count = run_count;
    while (count > 0) {
      std::uint32_t piece = std::uint32_t(std::min<std::uint64_t>(count, 0xFFFFFFFFull));
      push_run(first, piece);
      first += piece;
      count -= piece;
    }
    --runs_left;
  }
  if (!current.empty()) chunks.push_back(std::move(current));
  return chunks;
}

std::optional<std::uint64_t> take_lowest(space::FreeRuns& runs) {
  if (runs.empty()) return std::nullopt;
  return runs.take_front(runs.begin(), 1);
}

std::uint64_t take_highest(space::FreeRuns& runs) {
  auto it = std::prev(runs.end());
  std::uint64_t page = it->first + it->second - 1;
  if (it->second == 1)
    runs.erase(it->first);
  else
    runs.set(it->first, it->second - 1);
  return page;
}

}  // namespace free_space
}  // namespace deziro
