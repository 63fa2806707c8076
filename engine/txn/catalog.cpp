#include "txn/catalog.hpp"

#include "format/bytes.hpp"
#include "format/object/codec.hpp"
#include "format/record.hpp"
#include "text_format.hpp"

namespace deziro {

std::array<std::uint8_t, TreeDescriptor::kSize> TreeDescriptor::encode() const {
  std::array<std::uint8_t, kSize> b{};
  store_u64_le(b.data(), tree_id);
  store_u64_le(b.data() + 8, root.page);
  store_u64_le(b.data() + 16, root.commit_id);
  root.stamp.store(b.data() + 24);
  store_u64_le(b.data() + 40, entry_count);
  // Bytes 48..55 are reserved: written as zero, ignored on reading.
  return b;
}

Result<TreeDescriptor> TreeDescriptor::decode(ByteView b, const NodeSource& source) {
  if (b.size() != kSize)
    return fail(source.corrupted(
        format_text("the catalog: a tree descriptor is {} bytes long, not {}", b.size(), kSize)));
  TreeDescriptor d;
  d.tree_id = load_u64_le(b.data());
  d.root.page = load_u64_le(b.data() + 8);
  d.root.commit_id = load_u64_le(b.data() + 16);
  d.root.stamp = PageStamp::load(b.data() + 24);
  d.entry_count = load_u64_le(b.data() + 40);
  if (d.tree_id < kFirstNamedTreeId)
    return fail(source.corrupted(
        format_text("the catalog: a named tree has the engine's tree id {}", d.tree_id)));
  if ((d.root.page == 0) != (d.entry_count == 0))
    return fail(source.corrupted("the catalog: a tree's root and entry count disagree"));
  return d;
}

namespace catalog {
namespace {

template <typename Root>
Result<std::optional<TreeDescriptor>> find_in(NodeSource& source, const Root& root, ByteView name) {
  std::optional<TreeDescriptor> found;
  std::string problem;
  auto visitor = [&](ByteView value) -> Status {
    found = DZ_TRY(TreeDescriptor::decode(value, source));
    return ok();
  };
  DZ_CHECK(btree::get(ReadContext{source, kCatalogTreeId}, root, name, visitor));
  return found;
}

}  // namespace

Result<std::optional<std::string>> list_tree_names(RangeCursor& cursor) {
  ByteView key, value;
  if (!DZ_TRY(cursor.next(key, value))) return std::nullopt;
  if (!codec::is_utf8(key))
    return fail(cursor.source().corrupted("the catalog: a tree name is not UTF-8"));
  return std::string(reinterpret_cast<const char*>(key.data()), key.size());
}

Status check_tree_name(ByteView name, std::size_t max_len) {
  if (name.empty() || name.size() > max_len)
    return fail(Error::invalid_argument(format_text(
        "a tree name is 1 to {} bytes long and does not start with a NUL character", max_len)));
  return ok();
}

Result<std::optional<TreeDescriptor>> find(NodeSource& source, const TreeRoot& root,
                                           ByteView name) {
  return find_in(source, root, name);
}

Result<std::optional<TreeDescriptor>> find(NodeSource& source, const ChildPointer& root,
                                           ByteView name) {
  return find_in(source, root, name);
}

}  // namespace catalog
}  // namespace deziro
