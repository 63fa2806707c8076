#include "schema/declare.hpp"

#include <gtest/gtest.h>

#include <array>

#include "support/declared_builders.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

OpenOptions with_schema(DeclaredSchema schema) {
  OpenOptions options;
  options.schema = std::make_shared<const DeclaredSchema>(std::move(schema));
  return options;
}

std::string refusal(const OpenOptions& options) {
  Status status = declare::validate_options(options);
  if (status) return "passed";
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidArgument);
  return status.error().to_string();
}

std::string refusal_of(DeclaredSchema schema) { return refusal(with_schema(std::move(schema))); }

DeclaredSchema one_collection(DeclaredCollection collection) {
  return declared(1, {std::move(collection)});
}

// A schema wrong in almost every way, to prove that earlier checks win.
DeclaredSchema broken_schema() { return declared(0, {auto_collection("", {})}); }

TEST(ValidateOptions, page_size_is_reported_before_an_empty_password_and_a_bad_schema) {
  OpenOptions options = with_schema(broken_schema());
  options.page_size = 2048;
  options.set_password({});
  options.password_hashing.parallelism = 0;
  EXPECT_EQ(refusal(options), "the page size must be a power of two from 4096 to 65536, not 2048");
}

TEST(ValidateOptions, page_size_outside_the_powers_of_two_from_4096_to_65536_is_refused) {
  for (std::uint32_t good : {4096u, 8192u, 16384u, 32768u, 65536u}) {
    OpenOptions options;
    options.page_size = good;
    EXPECT_EQ(refusal(options), "passed") << good;
  }
  for (std::uint32_t bad : {0u, 1u, 2048u, 12288u, 131072u, 4097u, 0x80000000u}) {
    OpenOptions options;
    options.page_size = bad;
    EXPECT_EQ(refusal(options), format_text("the page size must be a power of two from 4096 to "
                                            "65536, not {}",
                                            bad));
  }
}

TEST(ValidateOptions, empty_password_is_reported_before_the_schema_and_hashing) {
  OpenOptions options = with_schema(broken_schema());
  options.set_password({});
  options.password_hashing.iterations = 0;
  EXPECT_EQ(refusal(options), "the password is empty");
}

TEST(ValidateOptions, a_key_credential_is_not_looked_at) {
  OpenOptions options;
  std::array<std::uint8_t, kKeySize> zeros{};
  options.credential = Credential::key(zeros);
  EXPECT_EQ(refusal(options), "passed");
}

TEST(ValidateOptions, migrations_without_a_schema_are_refused) {
  OpenOptions options;
  options.migrations.push_back(migration_to(2));
  EXPECT_EQ(refusal(options), "migrations are declared without a schema to migrate to");
}

TEST(ValidateOptions, hashing_parameters_are_checked_without_a_password_in_their_order) {
  OpenOptions options;
  options.password_hashing = {0, 0, 0};
  EXPECT_EQ(refusal(options), "the password hashing parallelism must be from 1 to 64");
  options.password_hashing = {0, 0, 65};
  EXPECT_EQ(refusal(options), "the password hashing parallelism must be from 1 to 64");
  options.password_hashing = {0, 0, 64};
  EXPECT_EQ(refusal(options), "the password hashing iterations must be from 1 to 1024");
  options.password_hashing = {0, 1025, 64};
  EXPECT_EQ(refusal(options), "the password hashing iterations must be from 1 to 1024");
  options.password_hashing = {511, 1024, 64};
  EXPECT_EQ(refusal(options),
            "the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB");
  options.password_hashing = {512, 1024, 64};
  EXPECT_EQ(refusal(options), "passed");
}

TEST(ValidateOptions, hashing_memory_is_bounded_per_lane_and_at_one_gib) {
  OpenOptions options;
  options.password_hashing = {31, 2, 4};
  EXPECT_EQ(refusal(options),
            "the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB");
  options.password_hashing = {32, 2, 4};
  EXPECT_EQ(refusal(options), "passed");
  options.password_hashing = {1048577, 2, 1};
  EXPECT_EQ(refusal(options),
            "the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB");
  options.password_hashing = {1048576, 2, 1};
  const std::uint8_t pw[] = {0x70, 0x77};
  options.set_password(pw);
  EXPECT_EQ(refusal(options), "passed");
}

TEST(ValidateOptions, hashing_is_checked_after_a_valid_schema) {
  OpenOptions options = with_schema(one_collection(auto_collection("c", {})));
  options.password_hashing.parallelism = 0;
  EXPECT_EQ(refusal(options), "the password hashing parallelism must be from 1 to 64");
}

TEST(ValidateOptions, schema_version_zero_is_refused) {
  EXPECT_EQ(refusal_of(declared(0, {})), "a schema's version starts at 1");
}

TEST(ValidateOptions, schema_version_beyond_a_signed_64_bit_int_is_refused) {
  EXPECT_EQ(refusal_of(declared(declare::kMaxSchemaVersion, {})), "passed");
  EXPECT_EQ(refusal_of(declared(declare::kMaxSchemaVersion + 1, {})),
            "a schema's version is at most 9223372036854775807, not 9223372036854775808");
  EXPECT_EQ(refusal_of(declared(UINT64_MAX, {})),
            "a schema's version is at most 9223372036854775807, not 18446744073709551615");
}

TEST(ValidateOptions, migration_versions_must_lead_from_1_to_the_declared_version) {
  OpenOptions options = with_schema(declared(3, {}));
  options.migrations = {migration_to(2), migration_to(3)};
  EXPECT_EQ(refusal(options), "passed");
  options.migrations = {migration_to(2), migration_to(1)};
  EXPECT_EQ(refusal(options),
            "a migration to version 1 does not lead from version 1 up to the declared version 3");
  options.migrations = {migration_to(4)};
  EXPECT_EQ(refusal(options),
            "a migration to version 4 does not lead from version 1 up to the declared version 3");
}

TEST(ValidateOptions, migration_version_beyond_a_signed_64_bit_int_is_refused) {
  OpenOptions options = with_schema(declared(declare::kMaxSchemaVersion, {}));
  options.migrations = {migration_to(declare::kMaxSchemaVersion)};
  EXPECT_EQ(refusal(options), "passed");
  options.migrations = {migration_to(declare::kMaxSchemaVersion + 1)};
  EXPECT_EQ(refusal(options),
            "a migration to version 9223372036854775808 does not lead from version 1 up to the "
            "declared version 9223372036854775807");
}

TEST(ValidateOptions, collections_are_checked_before_migrations) {
  OpenOptions options = with_schema(declared(2, {auto_collection("", {})}));
  options.migrations = {migration_to(1)};
  EXPECT_EQ(refusal(options), "a collection's name is empty");
}

TEST(ValidateOptions, collection_names_must_be_present_and_distinct) {
  EXPECT_EQ(refusal_of(declared(1, {auto_collection("", {})})), "a collection's name is empty");
  EXPECT_EQ(refusal_of(declared(
                1, {auto_collection("a", {}), auto_collection("b", {}), auto_collection("a", {})})),
            "the collection `a` is declared twice");
}

TEST(ValidateOptions, a_field_called_id_without_a_key_names_id_twice) {
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", {required("id", K::str())}))),
            "`c` has a field called `id` but no primary key: name it with `primary_key`, since "
            "`id` is the auto-increment's");
  EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "id", {required("id", K::str())}))),
            "passed");
}

TEST(ValidateOptions, implicit_key_comes_first_and_may_be_indexed) {
  auto c = auto_collection("c", {required("a", K::str())}, {{"id", true}});
  auto fields = declare::implicit_key_fields(c);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0], required("id", K::integer()));
  EXPECT_EQ(fields[1].name, "a");
  EXPECT_EQ(refusal_of(one_collection(c)), "passed");
  EXPECT_EQ(
      declare::implicit_key_fields(keyed_collection("k", "a", {required("a", K::str())})).size(),
      1u);
}

TEST(ValidateOptions, key_must_name_a_required_int_str_or_bytes_field) {
  EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "k", {required("a", K::str())}))),
            "`c` has no primary key field");
  EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "k", {}))),
            "`c` has no primary key field");
  EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "k", {required("k", K::floating())}))),
            "the primary key of `c` is not an int, a string or bytes");
  for (K kind : {K::integer(), K::str(), K::bytes()})
    EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "k", {required("k", kind)}))),
              "passed");
}

// An optional key would be stored and then refused by the stored schema's
// own check at the next open, leaving a file that no longer opens.
TEST(ValidateOptions, optional_primary_key_is_refused_before_the_file_is_touched) {
  EXPECT_EQ(refusal_of(one_collection(keyed_collection("c", "k", {optional("k", K::str())}))),
            "the primary key of `c` cannot be optional");
}

TEST(ValidateOptions, link_inside_an_embedded_object_names_the_dotted_path) {
  auto c = auto_collection("c", {required("a", K::object({required("x", K::link("nowhere"))}))});
  EXPECT_EQ(refusal_of(one_collection(c)), "`c.a.x` links to `nowhere`, which is not a collection");
}

TEST(ValidateOptions, links_may_target_any_declared_collection_including_their_own) {
  auto schema = declared(
      1, {auto_collection(
              "a", {required("self", K::link("a")), required("later", K::list(K::link("b")))},
              {{"later", false}}),
          auto_collection("b", {})});
  EXPECT_EQ(refusal_of(schema), "passed");
}

TEST(ValidateOptions, lists_of_lists_or_objects_are_refused) {
  EXPECT_EQ(refusal_of(one_collection(
                auto_collection("c", {required("l", K::list(K::list(K::integer())))}))),
            "`c.l` is a list of lists or objects, which v1 does not have");
  EXPECT_EQ(refusal_of(one_collection(auto_collection(
                "c", {required("l", K::list(K::object({required("x", K::integer())})))}))),
            "`c.l` is a list of lists or objects, which v1 does not have");
}

TEST(ValidateOptions, field_names_must_be_present_and_distinct_per_list) {
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", {required("", K::integer())}))),
            "a field of `c` has an empty name");
  EXPECT_EQ(refusal_of(one_collection(
                auto_collection("c", {required("a", K::integer()), required("a", K::str())}))),
            "`c` declares the field `a` twice");
  EXPECT_EQ(refusal_of(one_collection(
                auto_collection("c", {required("a", K::object({required("", K::integer())}))}))),
            "a field of `c.a` has an empty name");
  // An embedded object may reuse its parent's names.
  EXPECT_EQ(refusal_of(one_collection(
                auto_collection("c", {required("a", K::object({required("a", K::integer())}))}))),
            "passed");
}

TEST(ValidateOptions, defaults_must_match_their_kind_exactly) {
  auto check = [](K kind, Value value) {
    return refusal_of(one_collection(auto_collection("c", {defaulted("f", kind, value)})));
  };
  const std::string mismatch = "the default of `c.f` does not have the field's type";
  EXPECT_EQ(check(K::floating(), Value::integer(1)), mismatch);
  EXPECT_EQ(check(K::floating(), Value::floating(1)), "passed");
  EXPECT_EQ(check(K::integer(), Value::null()), mismatch);
  EXPECT_EQ(check(K::bytes(), Value::string("x")), mismatch);
  EXPECT_EQ(check(K::list(K::integer()), Value::list({Value::integer(1)})), "passed");
  EXPECT_EQ(check(K::list(K::integer()), Value::list({})), "passed");
  EXPECT_EQ(check(K::list(K::integer()), Value::list({Value::integer(1), Value::floating(2)})),
            mismatch);
  EXPECT_EQ(check(K::link("c"), Value::integer(1)), mismatch);
  EXPECT_EQ(check(K::object({}), Value::object({})), mismatch);
}

TEST(ValidateOptions, field_checks_come_before_the_key_check) {
  auto c = keyed_collection("c", "missing", {required("a", K::link("nowhere"))});
  EXPECT_EQ(refusal_of(one_collection(c)), "`c.a` links to `nowhere`, which is not a collection");
}

TEST(ValidateOptions, indexes_must_name_an_indexable_field_once) {
  auto fields = [] {
    return std::vector<DeclaredField>{required("a", K::integer()),
                                      required("o", K::object({required("x", K::integer())})),
                                      required("l", K::list(K::link("c")))};
  };
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", fields(), {{"z", false}}))),
            "`c` indexes `z`, which it does not have");
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", fields(), {{"o", false}}))),
            "`c.o` cannot be indexed: it is an object or a list of them");
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", fields(), {{"a", true}, {"a", false}}))),
            "`c` indexes `a` twice");
  EXPECT_EQ(refusal_of(one_collection(auto_collection("c", fields(), {{"l", true}, {"a", false}}))),
            "passed");
}

// Each embedded level costs three record levels in the stored schema; a
// declaration nested deeper than it can hold would be stored once and make
// every later open fail.
TEST(ValidateOptions, embedded_objects_nested_deeper_than_the_stored_schema_holds_are_refused) {
  auto at_depth = [](std::size_t depth) {
    return refusal_of(one_collection(auto_collection("c", {nested_objects(depth)})));
  };
  EXPECT_EQ(at_depth(declare::kMaxEmbeddedDepth), "passed");
  std::string path = "c";
  for (std::size_t level = 1; level < declare::kMaxEmbeddedDepth + 1; ++level) path += ".e";
  EXPECT_EQ(at_depth(declare::kMaxEmbeddedDepth + 1),
            format_text("`{}.e` nests embedded objects more than 19 levels deep", path));
  EXPECT_EQ(at_depth(500).substr(0, 5), "`c.e.");
}

TEST(ValidateOptions, a_schema_without_collections_passes) {
  EXPECT_EQ(refusal_of(declared(1, {})), "passed");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
