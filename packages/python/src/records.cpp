#include "records.hpp"

#include <cstring>

#include "errors.hpp"
#include "format/object/codec.hpp"
#include "instances.hpp"

namespace deziro::binding {

namespace layout {

namespace {

KindCode stored_kind(LayoutKind::Variant variant) {
  using Variant = LayoutKind::Variant;
  switch (variant) {
    case Variant::Bool:
      return KindCode::Bool;
    case Variant::Int:
      return KindCode::Int;
    case Variant::Float:
      return KindCode::Float;
    case Variant::Str:
      return KindCode::Str;
    case Variant::Bytes:
      return KindCode::Bytes;
    case Variant::Key:
      return KindCode::Link;
    case Variant::List:
      return KindCode::List;
    case Variant::Layout:
      return KindCode::Object;
  }
  return KindCode::Object;
}

std::vector<ClassField> class_fields(const std::vector<LayoutShapeEntry>& shape) {
  std::vector<ClassField> fields;
  fields.reserve(shape.size());
  for (const LayoutShapeEntry& entry : shape) {
    ClassField field;
    field.name = entry.stored_name;
    field.kind.reserve(entry.kind.size());
    for (LayoutKind::Variant variant : entry.kind) field.kind.push_back(stored_kind(variant));
    if (entry.nested) field.nested = class_fields(*entry.nested);
    if (entry.element_nested) field.element_nested = class_fields(*entry.element_nested);
    fields.push_back(std::move(field));
  }
  return fields;
}

}  // namespace

LayoutShape engine_shape(const LayoutData& layout) {
  return LayoutShape{layout.layout_id, class_fields(layout.shape)};
}

Result<BoundMapping> match_collection(const ResolvedSchema& resolved, std::size_t collection,
                                      const LayoutData& layout, std::string path) {
  if (collection >= resolved.schema.collections.size())
    return fail(Error::internal("a collection index beyond the schema"));
  // A cached mapping needs no shape: every read after the first takes it
  // without copying the layout's names.
  auto mapping = resolved.class_cache.get(layout.layout_id, collection);
  if (!mapping) mapping = DZ_TRY(typed::class_mapping(resolved, collection, engine_shape(layout)));
  return BoundMapping{std::move(mapping), resolved.schema.collections[collection].name,
                      std::move(path)};
}

}  // namespace layout

namespace values {

namespace {

using codec::Message;
using codec::Reader;
namespace msg = codec::msg;
using Bytes = std::span<const std::uint8_t>;

// Turns a record's faults into CORRUPTED errors naming the collection and
// the file.
struct DecodeContext {
  const BoundMapping& bound;

  Error damaged(Message message) const {
    return Error::corrupted(bound.path, codec::object_error(bound.collection_name, message));
  }
  std::nullptr_t raise(Message message) const { return raise_engine_error(damaged(message)); }
};

bool decode_record(const LayoutData& layout, codec::RecordFields& fields,
                   std::span<const FieldMapping> mappings, std::vector<PyRef>& slots,
                   const DecodeContext& context);

PyObject* decode_value(const LayoutKind& kind, Bytes slice, const std::vector<FieldMapping>* nested,
                       const DecodeContext& context);

PyObject* invalid(std::string message) {
  return raise_engine_error(Error::invalid_argument(std::move(message)));
}

PyObject* text_from(Bytes bytes) {
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

// A str (tag 6) or bytes (tag 7) body after its tag.
PyObject* decode_text(Reader& reader, std::uint8_t tag, const DecodeContext& context) {
  const auto body = codec::read_length_prefixed(reader);
  if (!body) return context.raise(body.error());
  if (tag == codec::kTagBytes)
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body->data()),
                                     static_cast<Py_ssize_t>(body->size()));
  if (!codec::is_utf8(*body)) return context.raise(msg::kNotUtf8);
  return text_from(*body);
}

PyObject* decode_int(Reader& reader, const DecodeContext& context) {
  const auto number = codec::read_varint(reader);
  if (!number) return context.raise(number.error());
  return PyLong_FromLongLong(codec::unzigzag(*number));
}

PyObject* decode_key(Reader& reader, const DecodeContext& context) {
  if (reader.at_end()) return invalid("a link holds a key of another type");
  const std::uint8_t tag = reader.bytes[reader.pos++];
  switch (tag) {
    case codec::kTagInt:
      return decode_int(reader, context);
    case codec::kTagString:
    case codec::kTagBytes:
      return decode_text(reader, tag, context);
    case codec::kTagFalse:
    case codec::kTagTrue:
      return invalid("a link holds a key of another type");
    case codec::kTagFloat:
      if (reader.remaining() < 8) return context.raise(msg::kEndsEarly);
      return invalid("a link holds a key of another type");
    case codec::kTagList:
    case codec::kTagRecord:
    case codec::kTagLink:
      return context.raise(msg::kOtherType);
    default:
      return context.raise(msg::kUnknownTag);
  }
}

// `nested`: the mapping of embedded elements (at any depth of lists), when
// the list holds them.
PyObject* decode_list(const LayoutKind& element, Reader& reader,
                      const std::vector<FieldMapping>* nested, const DecodeContext& context) {
  const auto count = codec::read_count(reader, 1);
  if (!count) return context.raise(count.error());
  // Every element's extent first, so that a damaged tail is found before
  // any object is made.
  std::vector<Bytes> extents;
  extents.reserve(std::min<std::uint64_t>(*count, codec::kMaxReserve));
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto end = codec::skip_value(reader.bytes, reader.pos, 1);
    if (!end) return context.raise(end.error());
    extents.push_back(reader.bytes.subspan(reader.pos, *end - reader.pos));
    reader.pos = *end;
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (Bytes extent : extents) {
    PyRef item = PyRef::steal(decode_value(element, extent, nested, context));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* decode_embedded(const LayoutKind& kind, Reader& reader,
                          const std::vector<FieldMapping>* nested, const DecodeContext& context) {
  const auto body = codec::read_length_prefixed(reader);
  if (!body) return context.raise(body.error());
  const LayoutData* layout = layout::layout_data(kind.layout.get());
  if (layout == nullptr) return nullptr;
  auto frame = [&](Message message) { return context.damaged(message); };
  auto fields = codec::record_fields_begin(*body, frame);
  if (!fields) return raise_engine_error(fields.error());
  std::vector<PyRef> slots;
  if (!decode_record(*layout, *fields, *nested, slots, context)) return nullptr;
  return new_instance(*layout, slots);
}

PyObject* decode_value(const LayoutKind& kind, Bytes slice, const std::vector<FieldMapping>* nested,
                       const DecodeContext& context) {
  if (slice.empty()) Py_RETURN_NONE;
  using Variant = LayoutKind::Variant;
  // A layout for a field whose stored elements are no embedded objects has
  // no mapping: the class is at fault, not the file.
  if (kind.variant == Variant::Layout && nested == nullptr)
    return invalid("an embedded object is read from a field that holds none");
  Reader reader(slice, 1);
  const std::uint8_t tag = slice[0];
  switch (kind.variant) {
    case Variant::Bool:
      if (tag == codec::kTagFalse) Py_RETURN_FALSE;
      if (tag == codec::kTagTrue) Py_RETURN_TRUE;
      break;
    case Variant::Int:
      if (tag == codec::kTagInt) return decode_int(reader, context);
      break;
    case Variant::Float:
      if (tag == codec::kTagFloat) {
        const auto number = codec::read_f64(reader);
        if (!number) return context.raise(number.error());
        return PyFloat_FromDouble(*number);
      }
      break;
    case Variant::Str:
      if (tag == codec::kTagString) return decode_text(reader, tag, context);
      break;
    case Variant::Bytes:
      if (tag == codec::kTagBytes) return decode_text(reader, tag, context);
      break;
    case Variant::Key:
      if (tag == codec::kTagLink) return decode_key(reader, context);
      break;
    case Variant::List:
      if (tag == codec::kTagList) return decode_list(*kind.element, reader, nested, context);
      break;
    case Variant::Layout:
      if (tag == codec::kTagRecord) return decode_embedded(kind, reader, nested, context);
      break;
  }
  return context.raise(msg::kOtherType);
}

bool decode_record(const LayoutData& layout, codec::RecordFields& fields,
                   std::span<const FieldMapping> mappings, std::vector<PyRef>& slots,
                   const DecodeContext& context) {
  slots.clear();
  slots.resize(layout.fields.size());
  auto next = fields.next();
  if (!next) return raise_engine_error(next.error()), false;
  for (const FieldMapping& mapping : mappings) {
    while (*next && (*next)->id < mapping.field_id) {
      next = fields.next();
      if (!next) return raise_engine_error(next.error()), false;
    }
    Bytes slice;
    if (*next && (*next)->id == mapping.field_id) {
      slice = (*next)->value;
      next = fields.next();
      if (!next) return raise_engine_error(next.error()), false;
    } else if (mapping.default_bytes) {
      slice = *mapping.default_bytes;
    } else if (!mapping.optional) {
      return context.raise(msg::kLacksRequired), false;
    }
    if (mapping.position >= slots.size())
      return invalid("a record holds a field the class does not"), false;
    const LayoutField& field = layout.fields[mapping.position];
    PyRef value = PyRef::steal(decode_value(
        field.kind, slice, mapping.embedded || mapping.element_embedded ? &mapping.nested : nullptr,
        context));
    if (!value) return false;
    slots[mapping.position] = std::move(value);
  }
  while (*next) {
    next = fields.next();
    if (!next) return raise_engine_error(next.error()), false;
  }
  const Status finished = fields.finish();
  if (!finished) return raise_engine_error(finished.error()), false;
  return true;
}

}  // namespace

PyObject* record_to_object(const LayoutData& layout, const BoundMapping& bound,
                           std::span<const std::uint8_t> record, std::vector<PyRef>& slots) {
  const DecodeContext context{bound};
  auto frame = [&](Message message) { return context.damaged(message); };
  auto fields = codec::record_fields_begin(record, frame);
  if (!fields) return raise_engine_error(fields.error());
  if (!decode_record(layout, *fields, bound.mapping->fields, slots, context)) return nullptr;
  return new_instance(layout, slots);
}

}  // namespace values
}  // namespace deziro::binding
