// Stored-schema decoder: any bytes offered as the stored schema. A schema
// that decodes passes the consistency check, finds each of its collections
// and fields by name (as objects and queries do), and its encoding decodes
// to the same schema and encodes to the same bytes again.
#include "format/object/schema_codec.hpp"
#include "support/fuzz_support.hpp"

using namespace deziro;

namespace {

void check_names(std::span<const Field> fields) {
  for (const Field& field : fields) {
    FUZZ_CHECK(schema::find_by_name(fields, field.name) == &field, field.name);
    if (field.kind.code() == KindCode::Object) check_names(field.kind.fields());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto schema = schema_codec::decode_schema(fuzz::input_bytes(data, size));
  if (!schema) {
    FUZZ_CHECK(schema.error().message.empty() != !schema.error().unreadable_format,
               std::string(schema.error().message));
    return 0;
  }
  const auto broken = schema_codec::check_consistency(*schema);
  FUZZ_CHECK(!broken, std::string(broken.value_or("")));
  const std::span<const Collection> collections(schema->collections);
  for (const Collection& c : collections) {
    FUZZ_CHECK(schema::find_by_name(collections, c.name) == &c, c.name);
    check_names(c.fields);
  }
  const auto bytes = schema_codec::encode_schema(*schema);
  auto again = schema_codec::decode_schema(bytes);
  FUZZ_CHECK(again.has_value(), std::string(again ? "" : again.error().message));
  FUZZ_CHECK(*again == *schema, fuzz::hex(bytes));
  FUZZ_CHECK(schema_codec::encode_schema(*again) == bytes, fuzz::hex(bytes));
  return 0;
}
