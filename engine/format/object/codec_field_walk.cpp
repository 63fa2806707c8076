// The field-by-field walk of a record, without decoding it.
#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"
#include "text_format.hpp"

namespace deziro::codec {

using detail::count_fits;
using detail::refuse;

namespace {

// A record's field count with 2 bytes per field; a one-byte count skips the
// general varint reader.
Decoded<std::uint64_t> read_field_count(Reader& reader) {
  if (!reader.at_end() && reader.bytes[reader.pos] < 0x80) {
    const std::uint64_t count = reader.bytes[reader.pos++];
    if (!count_fits(count, 2, reader.remaining())) return refuse(msg::kCountsTooMuch);
    return count;
  }
  return read_count(reader, 2);
}

}  // namespace

Result<RecordFields> record_fields_begin(ByteView bytes, ErrorFrame frame) {
  Reader reader(bytes);
  const auto count = read_field_count(reader);
  if (!count) return fail(frame(count.error()));
  return RecordFields(reader, *count, frame);
}

Result<std::optional<RecordField>> RecordFields::next() {
  if (left_ == 0) return std::optional<RecordField>();
  const auto id = read_varint(reader_);
  if (!id) return fail(frame_(id.error()));
  if (!first_ && *id <= previous_id_) return fail(frame_(msg::kIdsOutOfOrder));
  first_ = false;
  previous_id_ = *id;
  const std::size_t start = reader_.pos;
  const auto end = skip_value(reader_.bytes, start, 0);
  if (!end) return fail(frame_(end.error()));
  reader_.pos = *end;
  --left_;
  return std::optional<RecordField>(RecordField{*id, reader_.bytes.subspan(start, *end - start)});
}

Status RecordFields::finish() const {
  if (!reader_.at_end()) return fail(frame_(msg::kRecordTrailing));
  return ok();
}

Decoded<std::optional<std::size_t>> walk_fields(ByteView bytes, std::uint64_t field_id) {
  Reader reader(bytes);
  const auto count = read_field_count(reader);
  if (!count) return refuse(count.error());
  std::uint64_t previous = 0;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto id = read_varint(reader);
    if (!id) return refuse(id.error());
    if (i != 0 && *id <= previous) return refuse(msg::kIdsOutOfOrder);
    previous = *id;
    if (*id > field_id) break;
    if (*id == field_id) return std::optional<std::size_t>(reader.pos);
    const auto end = skip_value(bytes, reader.pos, 0);
    if (!end) return refuse(end.error());
    reader.pos = *end;
  }
  return std::optional<std::size_t>();
}

namespace {

// The value bytes of a required field: present, and of the expected tag.
Status check_tag(ByteView value, std::uint8_t tag, ErrorFrame frame) {
  if (value.empty()) return fail(frame(msg::kNullForRequired));
  if (value[0] != tag) return fail(frame(msg::kOtherType));
  return ok();
}

}  // namespace

Result<std::int64_t> check_field_value(ByteView value, ErrorFrame frame) {
  DZ_CHECK(check_tag(value, kTagInt, frame));
  if (value.size() > 1 && value[1] < 0x80) return unzigzag(value[1]);
  Reader reader(value, 1);
  const auto x = read_varint(reader);
  if (!x) return fail(frame(x.error()));
  return unzigzag(*x);
}

Result<ByteView> read_field_value(ByteView value, std::uint8_t tag, ErrorFrame frame) {
  DZ_CHECK(check_tag(value, tag, frame));
  Reader reader(value, 1);
  const auto body = read_length_prefixed(reader);
  if (!body) return fail(frame(body.error()));
  return *body;
}

}  // namespace deziro::codec
