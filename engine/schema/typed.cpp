#include "schema/typed.hpp"

#include <utility>

#include "format/object/codec.hpp"
#include "text_format.hpp"

namespace deziro::typed {

namespace {

// The kind codes of a stored field, from the field down through the
// elements of lists, as ClassField::kind gives the class's.
std::vector<KindCode> kind_codes(const FieldKind& kind) {
  std::vector<KindCode> codes{kind.code()};
  for (const FieldKind* element = &kind; element->code() == KindCode::List;) {
    element = &element->element();
    codes.push_back(element->code());
  }
  return codes;
}

// A kind in words, one and many: "an int" and "ints".
std::pair<std::string_view, std::string_view> kind_names(KindCode code) {
  switch (code) {
    case KindCode::Bool:
      return {"a bool", "bools"};
    case KindCode::Int:
      return {"an int", "ints"};
    case KindCode::Float:
      return {"a float", "floats"};
    case KindCode::Str:
      return {"a string", "strings"};
    case KindCode::Bytes:
      return {"bytes", "bytes"};
    case KindCode::Link:
      return {"a link", "links"};
    case KindCode::List:
      return {"a list", "lists"};
    case KindCode::Object:
      return {"an embedded object", "embedded objects"};
  }
  return {"a value", "values"};
}

// A kind in words, for messages: "an int", "a list of lists of strings".
std::string kind_words(std::span<const KindCode> codes) {
  std::string words(kind_names(codes.front()).first);
  for (KindCode code : codes.subspan(1)) {
    words += " of ";
    words += kind_names(code).second;
  }
  return words;
}

}  // namespace

Result<ClassMapping> compare_class(std::span<const ClassField> class_fields,
                                   std::span<const Field> stored, const Schema& schema,
                                   std::string_view path) {
  for (const ClassField& field : class_fields) {
    if (schema::find_by_name(stored, field.name) == nullptr)
      return fail(Error::invalid_argument(
          format_text("the class has a field `{}` that `{}` does not", field.name, path)));
  }
  ClassMapping mapping;
  mapping.fields.reserve(stored.size());
  for (const Field& field : stored) {
    std::size_t position = class_fields.size();
    for (std::size_t i = 0; i < class_fields.size(); ++i) {
      if (class_fields[i].name == field.name) {
        position = i;
        break;
      }
    }
    if (position == class_fields.size())
      return fail(Error::invalid_argument(
          format_text("`{}` has a field `{}` that the class does not", path, field.name)));
    const ClassField& class_field = class_fields[position];
    const std::string field_path = format_text("{}.{}", path, field.name);
    FieldMapping entry;
    entry.field_id = field.id;
    entry.position = static_cast<std::uint32_t>(position);
    entry.optional = field.optional;
    const bool stored_embedded = field.kind.code() == KindCode::Object;
    if (stored_embedded && !class_field.nested)
      return fail(Error::invalid_argument(format_text(
          "`{}` is an embedded object, which the class does not read as one", field_path)));
    if (!stored_embedded && class_field.nested)
      return fail(
          Error::invalid_argument(format_text("`{}` is not an embedded object", field_path)));
    if (!class_field.kind.empty()) {
      // A value of another kind than the class reads is the class's fault,
      // found here rather than taken for a damaged record when read.
      const std::vector<KindCode> stored_kind = kind_codes(field.kind);
      if (stored_kind != class_field.kind)
        return fail(Error::invalid_argument(
            format_text("`{}` holds {}, which the class reads as {}", field_path,
                        kind_words(stored_kind), kind_words(class_field.kind))));
    }
    if (stored_embedded) {
      entry.nested =
          DZ_TRY(compare_class(*class_field.nested, field.kind.fields(), schema, field_path))
              .fields;
      entry.embedded = true;
    }
    if (class_field.element_nested) {
      // Lists of embedded objects: the elements map like one embedded
      // object. Any other stored kind (only for a class without kinds, which
      // is refused above otherwise) leaves the elements without a mapping,
      // which the readers refuse.
      const FieldKind* element = &field.kind;
      while (element->code() == KindCode::List) element = &element->element();
      if (element != &field.kind && element->code() == KindCode::Object) {
        entry.nested = DZ_TRY(compare_class(*class_field.element_nested, element->fields(), schema,
                                            field_path))
                           .fields;
        entry.element_embedded = true;
      }
    }
    if (field.default_value) {
      std::vector<std::uint8_t> bytes;
      auto encoded = codec::encode_typed_value(*field.default_value, field.kind, schema, bytes);
      if (!encoded)
        return fail(Error::invalid_argument(
            format_text("the default of `{}` holds {}", field_path, encoded.error())));
      entry.default_bytes = std::move(bytes);
    }
    if (!field.kind.is_plain()) mapping.all_plain = false;
    mapping.fields.push_back(std::move(entry));
  }
  return mapping;
}

Result<std::shared_ptr<const ClassMapping>> class_mapping(const ResolvedSchema& resolved,
                                                          std::size_t position,
                                                          const LayoutShape& layout) {
  if (auto cached = resolved.class_cache.get(layout.serial, position)) return cached;
  const Collection& collection = resolved.schema.collections[position];
  auto compared = compare_class(layout.fields, collection.fields, resolved.schema, collection.name);
  if (!compared)
    return fail(Error::invalid_argument(
        format_text("the class does not match the collection `{}` the database holds: {}",
                    collection.name, compared.error().message())));
  bool has_key = false;
  for (std::size_t i = 0; i < collection.fields.size(); ++i) {
    if (collection.fields[i].id == collection.primary_key_field_id) {
      compared->key_entry = i;
      has_key = true;
    }
  }
  if (!has_key) return fail(Error::internal("a collection has no key field"));
  compared->auto_increment = collection.auto_increment;
  auto mapping = std::make_shared<const ClassMapping>(std::move(*compared));
  resolved.class_cache.insert(layout.serial, position, mapping);
  // The first insert wins when two threads checked at once.
  return resolved.class_cache.get(layout.serial, position);
}

}  // namespace deziro::typed
