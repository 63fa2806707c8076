#include "format/object/codec.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "text_format.hpp"

namespace deziro::codec {

namespace {

std::unexpected<Message> refuse(Message m) { return std::unexpected<Message>(m); }

}  // namespace

// ------------------------------------------------------------------ UTF-8

bool is_utf8(ByteView bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time: the common case of field names and text.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const std::uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t extra;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    p += extra + 1;
  }
  return true;
}

// ------------------------------------------------------------- primitives

Decoded<std::uint64_t> read_varint(Reader& reader) {
  const ByteView bytes = reader.bytes;
  std::size_t p = reader.pos;
  if (p < bytes.size() && bytes[p] < 0x80) {
    reader.pos = p + 1;
    return bytes[p];
  }
  std::uint64_t result = 0;
  for (unsigned i = 0; i < 10; ++i, ++p) {
    if (p >= bytes.size()) {
      reader.pos = p;
      return refuse(msg::kEndsEarly);
    }
    const std::uint8_t b = bytes[p];
    if (i == 9) {
      reader.pos = p;
      if (b & 0x7E) return refuse(msg::kNumberTooLarge);
      if (b & 0x80) return refuse(msg::kNumberTooLong);
      reader.pos = p + 1;
      return result | (static_cast<std::uint64_t>(b) << 63);
    }
    result |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      reader.pos = p + 1;
      return result;
    }
  }
  return result;  // not reached: the 10th byte always returns
}

Decoded<std::pair<std::uint64_t, std::size_t>> read_varint(ByteView bytes, std::size_t pos) {
  Reader reader(bytes, pos);
  const auto x = read_varint(reader);
  if (!x) return refuse(x.error());
  return std::pair{*x, reader.pos};
}

namespace {

bool count_fits(std::uint64_t count, std::uint64_t per_item, std::size_t left) {
  std::uint64_t need;
  if (__builtin_mul_overflow(count, per_item, &need)) need = UINT64_MAX;
  return need <= left;
}

}  // namespace

Decoded<std::uint64_t> read_count(Reader& reader, std::uint64_t bytes_per_item) {
  const auto count = read_varint(reader);
  if (!count) return count;
  if (!count_fits(*count, bytes_per_item, reader.remaining())) return refuse(msg::kCountsTooMuch);
  return count;
}

Decoded<double> read_f64(Reader& reader) {
  if (reader.remaining() < 8) return refuse(msg::kEndsEarly);
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | reader.bytes[reader.pos + i];
  reader.pos += 8;
  return std::bit_cast<double>(bits);
}

Decoded<Reader> take_slice(Reader& reader, std::uint64_t length) {
  if (length > reader.remaining()) return refuse(msg::kEndsEarly);
  Reader sub(reader.bytes.subspan(reader.pos, length));
  reader.pos += length;
  return sub;
}

Decoded<ByteView> read_length_prefixed(Reader& reader) {
  const auto length = read_varint(reader);
  if (!length) return refuse(length.error());
  if (*length > reader.remaining()) return refuse(msg::kEndsEarly);
  const ByteView body = reader.bytes.subspan(reader.pos, *length);
  reader.pos += *length;
  return body;
}

Decoded<ByteString> read_bytes(Reader& reader) {
  const auto body = read_length_prefixed(reader);
  if (!body) return refuse(body.error());
  return ByteString(body->begin(), body->end());
}

Decoded<std::string> read_string(Reader& reader) {
  const auto body = read_length_prefixed(reader);
  if (!body) return refuse(body.error());
  if (!is_utf8(*body)) return refuse(msg::kNotUtf8);
  return std::string(reinterpret_cast<const char*>(body->data()), body->size());
}

std::size_t varint_size(std::uint64_t x) noexcept {
  std::size_t n = 1;
  while (x >= 0x80) {
    x >>= 7;
    ++n;
  }
  return n;
}

namespace {

// The shortest LEB128 form of x into buf; returns its length.
std::size_t varint_bytes(std::uint64_t x, std::uint8_t (&buf)[10]) {
  std::size_t n = 0;
  while (x >= 0x80) {
    buf[n++] = static_cast<std::uint8_t>(x | 0x80);
    x >>= 7;
  }
  buf[n++] = static_cast<std::uint8_t>(x);
  return n;
}

}  // namespace

void write_varint(std::vector<std::uint8_t>& out, std::uint64_t x) {
  if (x < 0x80) {
    out.push_back(static_cast<std::uint8_t>(x));
    return;
  }
  std::uint8_t buf[10];
  out.insert(out.end(), buf, buf + varint_bytes(x, buf));
}

void write_int(std::vector<std::uint8_t>& out, std::int64_t x) {
  out.push_back(kTagInt);
  write_varint(out, zigzag(x));
}

void write_float(std::vector<std::uint8_t>& out, double x) {
  std::uint8_t buf[9];
  buf[0] = kTagFloat;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  for (int i = 1; i <= 8; ++i, bits >>= 8) buf[i] = static_cast<std::uint8_t>(bits);
  out.insert(out.end(), buf, buf + 9);
}

void write_text(std::vector<std::uint8_t>& out, std::uint8_t tag, ByteView bytes) {
  out.push_back(tag);
  write_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

namespace {

// Inserts the varint byte length of everything written since `start` in
// front of it: nested records are written in place, then given their length.
void insert_length_before(std::vector<std::uint8_t>& out, std::size_t start) {
  std::uint8_t buf[10];
  const std::size_t n = varint_bytes(out.size() - start, buf);
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), buf, buf + n);
}

ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

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

// ------------------------------------------------------- typed decoding

namespace {

// A declared field the record does not hold: its default, else Null when
// optional, else refused.
Decoded<Value> missing_value(const Field& field) {
  if (field.default_value) return *field.default_value;
  if (field.optional) return Value::null();
  return refuse(msg::kLacksRequired);
}

DecodeStatus fill_missing(const Field& field, std::vector<ObjectEntry>& out) {
  auto value = missing_value(field);
  if (!value) return refuse(value.error());
  out.emplace_back(field.name, std::move(*value));
  return {};
}

Decoded<Value> convert_record(StoredRecord stored, std::span<const Field> fields) {
  std::vector<ObjectEntry> entries;
  entries.reserve(fields.size());
  std::size_t s = 0;
  for (const Field& field : fields) {
    while (s < stored.size() && stored[s].id < field.id) ++s;  // no longer declared
    if (s < stored.size() && stored[s].id == field.id) {
      auto value = convert_stored_value(std::move(stored[s].value), field.kind);
      if (!value) return value;
      entries.emplace_back(field.name, std::move(*value));
      ++s;
    } else if (const auto filled = fill_missing(field, entries); !filled) {
      return refuse(filled.error());
    }
  }
  return Value::object(ObjectMap::from_entries(std::move(entries)));
}

Decoded<Value> key_from_stored(StoredValue stored) {
  switch (stored.kind()) {
    case StoredValue::Kind::Int:
      return Value::integer(stored.as_int());
    case StoredValue::Kind::String:
      return Value::string(std::move(stored.as_string()));
    case StoredValue::Kind::Bytes:
      return Value::bytes(std::move(stored.as_bytes()));
    default:
      return refuse(msg::kBadLink);
  }
}

}  // namespace

Decoded<Value> convert_stored_value(StoredValue stored, const FieldKind& kind) {
  using K = StoredValue::Kind;
  switch (kind.code()) {
    case KindCode::Bool:
      if (stored.kind() == K::Bool) return Value::boolean(stored.as_bool());
      break;
    case KindCode::Int:
      if (stored.kind() == K::Int) return Value::integer(stored.as_int());
      break;
    case KindCode::Float:
      if (stored.kind() == K::Float) return Value::floating(stored.as_float());
      break;
    case KindCode::Str:
      if (stored.kind() == K::String) return Value::string(std::move(stored.as_string()));
      break;
    case KindCode::Bytes:
      if (stored.kind() == K::Bytes) return Value::bytes(std::move(stored.as_bytes()));
      break;
    case KindCode::Link:
      if (stored.kind() == K::Link) return key_from_stored(std::move(stored.link_target()));
      break;
    case KindCode::List:
      if (stored.kind() == K::List) {
        ValueList items;
        items.reserve(stored.as_list().size());
        for (StoredValue& item : stored.as_list()) {
          auto value = convert_stored_value(std::move(item), kind.element());
          if (!value) return value;
          items.push_back(std::move(*value));
        }
        return Value::list(std::move(items));
      }
      break;
    case KindCode::Object:
      if (stored.kind() == K::Record)
        return convert_record(std::move(stored.as_record()), kind.fields());
      break;
  }
  return refuse(msg::kOtherType);
}

namespace {

// Whether `tag` is the stored tag of a plain kind's values.
bool plain_tag_fits(KindCode code, std::uint8_t tag) {
  switch (code) {
    case KindCode::Bool:
      return tag == kTagFalse || tag == kTagTrue;
    case KindCode::Int:
      return tag == kTagInt;
    case KindCode::Float:
      return tag == kTagFloat;
    case KindCode::Str:
      return tag == kTagString;
    case KindCode::Bytes:
      return tag == kTagBytes;
    default:
      return false;
  }
}

// The body of a plain value (tags 2 to 7) whose tag has just been read.
Decoded<Value> read_plain_body(Reader& reader, std::uint8_t tag) {
  switch (tag) {
    case kTagInt: {
      const auto x = read_varint(reader);
      if (!x) return refuse(x.error());
      return Value::integer(unzigzag(*x));
    }
    case kTagFloat: {
      const auto x = read_f64(reader);
      if (!x) return refuse(x.error());
      return Value::floating(*x);
    }
    case kTagString: {
      auto s = read_string(reader);
      if (!s) return refuse(s.error());
      return Value::string(std::move(*s));
    }
    case kTagBytes: {
      const auto b = read_length_prefixed(reader);
      if (!b) return refuse(b.error());
      return Value::bytes(*b);
    }
    default:
      return Value::boolean(tag == kTagTrue);
  }
}

}  // namespace

Decoded<Value> decode_typed_value(Reader& reader, const FieldKind& kind, std::size_t depth) {
  if (depth >= kMaxDepth) return refuse(msg::kNestsTooDeeply);
  if (reader.at_end()) return refuse(msg::kEndsEarly);
  const std::size_t tag_pos = reader.pos;
  const std::uint8_t tag = reader.bytes[tag_pos];
  // The expected tag of each kind goes straight into a Value; lists and
  // mismatches take the road through StoredValue below.
  if (plain_tag_fits(kind.code(), tag)) {
    ++reader.pos;
    return read_plain_body(reader, tag);
  }
  if (kind.code() == KindCode::Link && tag == kTagLink && depth + 1 < kMaxDepth &&
      reader.remaining() >= 2) {
    // A link reads as the key it holds.
    const std::uint8_t inner = reader.bytes[tag_pos + 1];
    if (inner == kTagInt || inner == kTagString || inner == kTagBytes) {
      reader.pos += 2;
      return read_plain_body(reader, inner);
    }
  }
  if (kind.code() == KindCode::Object && tag == kTagRecord) {
    ++reader.pos;
    const auto length = read_varint(reader);
    if (!length) return refuse(length.error());
    auto sub = take_slice(reader, *length);
    if (!sub) return refuse(sub.error());
    auto map = decode_embedded_fields(*sub, kind.fields(), depth + 1);
    if (!map) return refuse(map.error());
    if (!sub->at_end()) return refuse(msg::kEmbeddedTrailing);
    return Value::object(std::move(*map));
  }
  reader.pos = tag_pos;
  auto stored = decode_value(reader, depth);
  if (!stored) return refuse(stored.error());
  return convert_stored_value(std::move(*stored), kind);
}

namespace {

// The merge of a record's stored fields with the declared ones: hands
// emit(declared position, value) one value per declared field, in field-id
// order, filling missing fields; stored fields of undeclared ids are read
// (so they must be well formed) and dropped.
template <typename Emit>
DecodeStatus merge_fields(Reader& reader, std::span<const Field> fields, std::size_t depth,
                          Emit&& emit) {
  const auto count = read_count(reader, 2);
  if (!count) return refuse(count.error());
  std::size_t d = 0;
  std::uint64_t previous = 0;
  auto fill_up_to = [&](std::uint64_t id) -> DecodeStatus {
    for (; d < fields.size() && fields[d].id < id; ++d) {
      auto value = missing_value(fields[d]);
      if (!value) return refuse(value.error());
      emit(d, std::move(*value));
    }
    return {};
  };
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto id = read_varint(reader);
    if (!id) return refuse(id.error());
    if (i != 0 && *id <= previous) return refuse(msg::kIdsOutOfOrder);
    previous = *id;
    if (auto filled = fill_up_to(*id); !filled) return filled;
    if (d < fields.size() && fields[d].id == *id) {
      auto value = decode_typed_value(reader, fields[d].kind, depth);
      if (!value) return refuse(value.error());
      emit(d, std::move(*value));
      ++d;
    } else {
      const auto dropped = decode_value(reader, depth);
      if (!dropped) return refuse(dropped.error());
    }
  }
  return fill_up_to(UINT64_MAX);
}

}  // namespace

DecodeStatus decode_fields(Reader& reader, std::span<const Field> fields, std::size_t depth,
                           std::vector<ObjectEntry>& out) {
  out.reserve(out.size() + fields.size());
  return merge_fields(reader, fields, depth, [&](std::size_t d, Value&& value) {
    out.emplace_back(fields[d].name, std::move(value));
  });
}

Decoded<Value> check_value_end(ByteView bytes, const FieldKind& kind) {
  Reader reader(bytes);
  auto stored = decode_value(reader, 0);
  if (!stored) return refuse(stored.error());
  if (!reader.at_end()) return refuse(msg::kValueTrailing);
  return convert_stored_value(std::move(*stored), kind);
}

Decoded<ObjectMap> decode_embedded_fields(Reader& reader, std::span<const Field> fields,
                                          std::size_t depth) {
  std::vector<ObjectEntry> entries;
  const auto decoded = decode_fields(reader, fields, depth, entries);
  if (!decoded) return refuse(decoded.error());
  return ObjectMap::from_entries(std::move(entries));
}

std::vector<std::uint32_t> field_order_by_name(std::span<const Field> fields) {
  std::vector<std::uint32_t> order(fields.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare_names(fields[a].name, fields[b].name) < 0;
  });
  return order;
}

namespace {

// Moves entries[order[i]] to position i for every i, following cycles; a
// 64-bit mask marks the places already filled.
void permute(std::vector<ObjectEntry>& entries, std::span<const std::uint32_t> order) {
  std::uint64_t done = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (done & (1ULL << i)) continue;
    ObjectEntry held = std::move(entries[i]);
    std::size_t j = i;
    for (;;) {
      done |= 1ULL << j;
      const std::size_t from = order[j];
      if (from == i) {
        entries[j] = std::move(held);
        break;
      }
      entries[j] = std::move(entries[from]);
      j = from;
    }
  }
}

}  // namespace

Decoded<ObjectMap> decode_record(ByteView bytes, std::span<const Field> fields,
                                 std::span<const std::uint32_t> name_order) {
  Reader reader(bytes);
  std::vector<ObjectEntry> entries;
  const auto decoded = decode_fields(reader, fields, 0, entries);
  if (!decoded) return refuse(decoded.error());
  if (!reader.at_end()) return refuse(msg::kRecordTrailing);
  if (!name_order.empty() && name_order.size() == entries.size() && entries.size() <= 64) {
    permute(entries, name_order);
    return ObjectMap::from_sorted_entries(std::move(entries));
  }
  return ObjectMap::from_entries(std::move(entries));
}

DecodeStatus decode_object_fields_into(ByteView bytes, std::span<const Field> fields,
                                       ObjectMap& out, std::span<const std::uint32_t> name_order) {
  std::vector<ObjectEntry>& entries = out.mutable_entries();
  Reader reader(bytes);
  DecodeStatus decoded;
  if (name_order.size() == fields.size() && fields.size() <= 64 && !fields.empty()) {
    // Each value goes straight to its place in name order; a map reused for
    // the same collection keeps its names and only takes new values.
    std::uint8_t rank[64];
    for (std::size_t i = 0; i < name_order.size(); ++i)
      rank[name_order[i]] = static_cast<std::uint8_t>(i);
    entries.resize(fields.size());
    decoded = merge_fields(reader, fields, 0, [&](std::size_t d, Value&& value) {
      ObjectEntry& slot = entries[rank[d]];
      if (slot.name.view() != fields[d].name) slot.name = MapName(fields[d].name);
      slot.value = std::move(value);
    });
  } else {
    entries.clear();
    decoded = decode_fields(reader, fields, 0, entries);
    if (decoded) out.sort_by_name();
  }
  if (decoded && !reader.at_end()) decoded = refuse(msg::kRecordTrailing);
  if (!decoded) entries.clear();
  return decoded;
}

Decoded<ObjectMap> decode_object_fields(ByteView bytes, std::span<const Field> fields) {
  ObjectMap map;
  const auto decoded = decode_object_fields_into(bytes, fields, map);
  if (!decoded) return refuse(decoded.error());
  return map;
}

std::string object_error(std::string_view collection_name, Message message) {
  return format_text("an object of `{}`: {}", collection_name, message);
}

Result<ObjectMap> decode_for_collection(CollectionView& view, ByteView bytes,
                                        FunctionRef<Error(std::string)> on_error) {
  Decoded<ObjectMap> map;
  if (!view.name_order_.empty()) {
    map = decode_record(bytes, view.fields_, view.name_order_);
  } else if (view.first_record_) {
    // One record alone is not worth computing the order for.
    view.first_record_ = false;
    map = decode_object_fields(bytes, view.fields_);
  } else {
    view.computed_order_ = field_order_by_name(view.fields_);
    view.name_order_ = view.computed_order_;
    map = decode_record(bytes, view.fields_, view.name_order_);
  }
  if (!map) return fail(on_error(object_error(view.name_, map.error())));
  return std::move(*map);
}

// ----------------------------------------------------------- encoders

namespace {

std::unexpected<std::string> not_a(KindCode code) {
  return std::unexpected(format_text("a value that is not {}", kind_phrase(code)));
}

EncodeStatus encode_value_unchecked_depth(const Value& value, const FieldKind& kind,
                                          const Schema& schema, std::vector<std::uint8_t>& out,
                                          std::size_t depth) {
  switch (kind.code()) {
    case KindCode::Bool:
      if (value.kind() != ValueKind::Bool) return not_a(kind.code());
      out.push_back(value.as_bool() ? kTagTrue : kTagFalse);
      return {};
    case KindCode::Int:
      if (value.kind() != ValueKind::Int) return not_a(kind.code());
      write_int(out, value.as_int());
      return {};
    case KindCode::Float:
      if (value.kind() != ValueKind::Float) return not_a(kind.code());
      write_float(out, value.as_float());
      return {};
    case KindCode::Str:
      if (value.kind() != ValueKind::String) return not_a(kind.code());
      write_text(out, kTagString, value.byte_view());
      return {};
    case KindCode::Bytes:
      if (value.kind() != ValueKind::Bytes) return not_a(kind.code());
      write_text(out, kTagBytes, value.byte_view());
      return {};
    case KindCode::Link: {
      const Collection* target = schema.collection_by_id(kind.link_target());
      const Field* key = target ? target->primary_key_field() : nullptr;
      if (key == nullptr) return not_a(kind.code());
      out.push_back(kTagLink);
      return encode_typed_value(value, key->kind, schema, out, depth + 1);
    }
    case KindCode::List: {
      if (value.kind() != ValueKind::List) return not_a(kind.code());
      out.push_back(kTagList);
      write_varint(out, value.as_list().size());
      for (const Value& item : value.as_list()) {
        if (auto r = encode_typed_value(item, kind.element(), schema, out, depth + 1); !r) return r;
      }
      return {};
    }
    case KindCode::Object: {
      if (value.kind() != ValueKind::Object) return not_a(kind.code());
      out.push_back(kTagRecord);
      const std::size_t start = out.size();
      if (auto r = encode_object_fields(value.as_object(), kind.fields(), schema, out, depth + 1);
          !r)
        return r;
      insert_length_before(out, start);
      return {};
    }
  }
  return not_a(kind.code());
}

}  // namespace

EncodeStatus encode_typed_value(const Value& value, const FieldKind& kind, const Schema& schema,
                                std::vector<std::uint8_t>& out, std::size_t depth) {
  // A value this deep could be written but never read back.
  if (depth >= kMaxDepth) return std::unexpected(std::string(msg::kNestsTooDeeply));
  const std::size_t start = out.size();
  auto r = encode_value_unchecked_depth(value, kind, schema, out, depth);
  if (!r) out.resize(start);
  return r;
}

EncodeStatus encode_object_fields(const ObjectMap& object, std::span<const Field> fields,
                                  const Schema& schema, std::vector<std::uint8_t>& out,
                                  std::size_t depth) {
  const std::size_t count_pos = out.size();
  write_varint(out, fields.size());
  std::uint64_t written = 0;
  std::size_t matched = 0;
  std::optional<std::string> failure;
  for (const Field& field : fields) {
    const Value* given = object.get(field.name);
    if (given != nullptr) ++matched;
    const Value* to_write = (given != nullptr && !given->is_null()) ? given : nullptr;
    if (to_write == nullptr) {
      if (field.optional) continue;
      if (!field.default_value) {
        failure = format_text("`{}` is required", field.name);
        break;
      }
      to_write = &*field.default_value;
    }
    write_varint(out, field.id);
    if (auto r = encode_typed_value(*to_write, field.kind, schema, out, depth); !r) {
      failure = format_text("`{}` holds {}", field.name, r.error());
      break;
    }
    ++written;
  }
  if (matched != object.size()) {
    for (const ObjectEntry& entry : object.entries()) {
      if (schema::find_by_name(fields, entry.name.view()) == nullptr) {
        failure = format_text("`{}` is not a field", entry.name.view());
        break;
      }
    }
  }
  if (failure) {
    out.resize(count_pos);
    return std::unexpected(std::move(*failure));
  }
  patch_count(out, count_pos, written, fields.size());
  return {};
}

void patch_count(std::vector<std::uint8_t>& buffer, std::size_t position, std::uint64_t written,
                 std::uint64_t declared) {
  if (written == declared) return;
  const std::size_t old_size = varint_size(declared);
  std::uint8_t buf[10];
  const std::size_t n = varint_bytes(written, buf);
  const auto at = buffer.begin() + static_cast<std::ptrdiff_t>(position);
  if (n < old_size) {
    buffer.erase(at, at + static_cast<std::ptrdiff_t>(old_size - n));
  } else if (n > old_size) {
    buffer.insert(at, n - old_size, 0);
  }
  std::memcpy(buffer.data() + position, buf, n);
}

void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string_view> strings) {
  out.push_back(kTagList);
  write_varint(out, strings.size());
  for (const std::string_view s : strings) write_text(out, kTagString, as_bytes(s));
}

void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string> strings) {
  out.push_back(kTagList);
  write_varint(out, strings.size());
  for (const std::string& s : strings) write_text(out, kTagString, as_bytes(s));
}

// --------------------------------------------- field access on records

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
