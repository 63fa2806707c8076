#include "storage/storage.hpp"

#include "text_format.hpp"

namespace deziro {

Status Storage::read_exact_at(std::uint64_t offset, ByteSpan out) {
  std::size_t got = DZ_TRY(read_at(offset, out));
  if (got != out.size())
    return fail(Error::corrupted(
        path(), format_text("a read of {} bytes at byte {} runs past the end of the file",
                            out.size(), offset)));
  return ok();
}

}  // namespace deziro
