// Records as stored, without a schema: StoredValue, skipping, decoding and writing.
#include <algorithm>
#include <bit>

#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"

namespace deziro::codec {

using detail::as_bytes;
using detail::insert_length_before;
using detail::refuse;

// ----------------------------------------------------------- StoredValue

StoredValue StoredValue::link(StoredValue target) {
  return StoredValue(std::in_place_index<7>, std::make_unique<StoredValue>(std::move(target)));
}

StoredValue::StoredValue(const StoredValue& other) : data_(std::in_place_index<0>, false) {
  *this = other;
}

StoredValue& StoredValue::operator=(const StoredValue& other) {
  if (this == &other) return *this;
  if (other.kind() == Kind::Link) {
    data_.emplace<7>(std::make_unique<StoredValue>(other.link_target()));
  } else {
    std::visit(
        [this](const auto& payload) {
          using T = std::decay_t<decltype(payload)>;
          if constexpr (!std::is_same_v<T, std::unique_ptr<StoredValue>>) data_ = payload;
        },
        other.data_);
  }
  return *this;
}

StoredValue::~StoredValue() = default;

bool StoredValue::operator==(const StoredValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Bool:
      return as_bool() == other.as_bool();
    case Kind::Int:
      return as_int() == other.as_int();
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(as_float()) ==
             std::bit_cast<std::uint64_t>(other.as_float());
    case Kind::String:
      return as_string() == other.as_string();
    case Kind::Bytes:
      return as_bytes() == other.as_bytes();
    case Kind::List:
      return as_list() == other.as_list();
    case Kind::Record:
      return as_record() == other.as_record();
    case Kind::Link:
      return link_target() == other.link_target();
  }
  return false;
}

// ---------------------------------------------- skipping and decoding

Decoded<std::size_t> skip_value(ByteView bytes, std::size_t pos, std::size_t depth) {
  if (depth >= kMaxDepth) return refuse(msg::kNestsTooDeeply);
  if (pos >= bytes.size()) return refuse(msg::kEndsEarly);
  Reader reader(bytes, pos + 1);
  switch (bytes[pos]) {
    case kTagFalse:
    case kTagTrue:
      return pos + 1;
    case kTagInt: {
      const auto x = read_varint(reader);
      if (!x) return refuse(x.error());
      return reader.pos;
    }
    case kTagFloat:
      if (reader.remaining() < 8) return refuse(msg::kEndsEarly);
      return pos + 9;
    case kTagString:
    case kTagBytes:
    case kTagRecord: {
      const auto body = read_length_prefixed(reader);
      if (!body) return refuse(body.error());
      return reader.pos;
    }
    case kTagList: {
      const auto count = read_count(reader, 1);
      if (!count) return refuse(count.error());
      std::size_t p = reader.pos;
      for (std::uint64_t i = 0; i < *count; ++i) {
        const auto next = skip_value(bytes, p, depth + 1);
        if (!next) return next;
        p = *next;
      }
      return p;
    }
    case kTagLink:
      return skip_value(bytes, pos + 1, depth + 1);
    default:
      return refuse(msg::kUnknownTag);
  }
}

Decoded<StoredValue> decode_value(Reader& reader, std::size_t depth) {
  if (depth >= kMaxDepth) return refuse(msg::kNestsTooDeeply);
  if (reader.at_end()) return refuse(msg::kEndsEarly);
  const std::uint8_t tag = reader.bytes[reader.pos];
  switch (tag) {
    case kTagFalse:
    case kTagTrue:
      ++reader.pos;
      return StoredValue::boolean(tag == kTagTrue);
    case kTagInt: {
      ++reader.pos;
      const auto x = read_varint(reader);
      if (!x) return refuse(x.error());
      return StoredValue::integer(unzigzag(*x));
    }
    case kTagFloat: {
      ++reader.pos;
      const auto x = read_f64(reader);
      if (!x) return refuse(x.error());
      return StoredValue::floating(*x);
    }
    case kTagString: {
      ++reader.pos;
      auto s = read_string(reader);
      if (!s) return refuse(s.error());
      return StoredValue::string(std::move(*s));
    }
    case kTagBytes: {
      ++reader.pos;
      auto b = read_bytes(reader);
      if (!b) return refuse(b.error());
      return StoredValue::bytes(std::move(*b));
    }
    case kTagList: {
      ++reader.pos;
      const auto count = read_count(reader, 1);
      if (!count) return refuse(count.error());
      StoredList items;
      items.reserve(std::min<std::uint64_t>(*count, kMaxReserve));
      for (std::uint64_t i = 0; i < *count; ++i) {
        auto item = decode_value(reader, depth + 1);
        if (!item) return item;
        items.push_back(std::move(*item));
      }
      return StoredValue::list(std::move(items));
    }
    case kTagRecord: {
      ++reader.pos;
      const auto length = read_varint(reader);
      if (!length) return refuse(length.error());
      auto sub = take_slice(reader, *length);
      if (!sub) return refuse(sub.error());
      auto fields = decode_stored_fields(*sub, depth + 1);
      if (!fields) return refuse(fields.error());
      if (!sub->at_end()) return refuse(msg::kEmbeddedTrailing);
      return StoredValue::record(std::move(*fields));
    }
    case kTagLink: {
      ++reader.pos;
      auto target = decode_value(reader, depth + 1);
      if (!target) return target;
      return StoredValue::link(std::move(*target));
    }
    default:
      return refuse(msg::kUnknownTag);
  }
}

Decoded<StoredRecord> decode_stored_fields(Reader& reader, std::size_t depth) {
  const auto count = read_count(reader, 2);
  if (!count) return refuse(count.error());
  StoredRecord fields;
  fields.reserve(std::min<std::uint64_t>(*count, kMaxReserve));
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto id = read_varint(reader);
    if (!id) return refuse(id.error());
    if (i != 0 && *id <= fields.back().id) return refuse(msg::kIdsOutOfOrder);
    auto value = decode_value(reader, depth);
    if (!value) return refuse(value.error());
    fields.push_back(StoredField{*id, std::move(*value)});
  }
  return fields;
}

Decoded<StoredRecord> decode_record_object(ByteView bytes) {
  Reader reader(bytes);
  auto fields = decode_stored_fields(reader, 0);
  if (!fields) return fields;
  if (!reader.at_end()) return refuse(msg::kRecordTrailing);
  return fields;
}

void write_stored_value(std::vector<std::uint8_t>& out, const StoredValue& value) {
  switch (value.kind()) {
    case StoredValue::Kind::Bool:
      out.push_back(value.as_bool() ? kTagTrue : kTagFalse);
      return;
    case StoredValue::Kind::Int:
      write_int(out, value.as_int());
      return;
    case StoredValue::Kind::Float:
      write_float(out, value.as_float());
      return;
    case StoredValue::Kind::String:
      write_text(out, kTagString, as_bytes(value.as_string()));
      return;
    case StoredValue::Kind::Bytes:
      write_text(out, kTagBytes, value.as_bytes());
      return;
    case StoredValue::Kind::List:
      out.push_back(kTagList);
      write_varint(out, value.as_list().size());
      for (const StoredValue& item : value.as_list()) write_stored_value(out, item);
      return;
    case StoredValue::Kind::Record: {
      out.push_back(kTagRecord);
      const std::size_t start = out.size();
      write_stored_record(out, value.as_record());
      insert_length_before(out, start);
      return;
    }
    case StoredValue::Kind::Link:
      out.push_back(kTagLink);
      write_stored_value(out, value.link_target());
      return;
  }
}

void write_stored_record(std::vector<std::uint8_t>& out, const StoredRecord& record) {
  write_varint(out, record.size());
  for (const StoredField& field : record) {
    write_varint(out, field.id);
    write_stored_value(out, field.value);
  }
}

}  // namespace deziro::codec
