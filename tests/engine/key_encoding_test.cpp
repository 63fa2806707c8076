#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "schema/tree_keys.hpp"
#include "support/memory_tree_access.hpp"
#include "support/object_samples.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using test::bytes;
using test::make_field;
using Buf = std::vector<std::uint8_t>;

Buf enc(const Value& v) {
  Buf out;
  EXPECT_TRUE(key::encode_value(v, out).has_value());
  return out;
}

std::string_view message_of(const key::Decoded<Value>& d) {
  return d ? std::string_view("ok") : d.error();
}

// What a key decodes back to: floats made canonical, everything else as is.
Value canonical(const Value& v) {
  if (v.kind() != ValueKind::Float) return v;
  const double x = v.as_float();
  if (std::isnan(x)) return Value::floating(std::bit_cast<double>(0x7FF8000000000000ULL));
  return Value::floating(x == 0.0 ? 0.0 : x);
}

TEST(KeyInts, DocumentedBytes) {
  EXPECT_EQ(enc(Value::integer(0)), bytes({0x0C}));
  EXPECT_EQ(enc(Value::integer(1)), bytes({0x0D, 0x01}));
  EXPECT_EQ(enc(Value::integer(-1)), bytes({0x0B, 0xFF}));
  EXPECT_EQ(enc(Value::integer(255)), bytes({0x0D, 0xFF}));
  EXPECT_EQ(enc(Value::integer(256)), bytes({0x0E, 0x01, 0x00}));
  EXPECT_EQ(enc(Value::integer(-256)), bytes({0x0B, 0x00}));
  EXPECT_EQ(enc(Value::integer(-257)), bytes({0x0A, 0xFE, 0xFF}));
  EXPECT_EQ(enc(Value::integer(INT64_MIN)), bytes({0x04, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(enc(Value::integer(INT64_MAX)),
            bytes({0x14, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(KeyFloats, DocumentedBytesAndCanonicalForms) {
  EXPECT_EQ(enc(Value::floating(1.0)), bytes({0x15, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(enc(Value::floating(-1.0)),
            bytes({0x15, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(enc(Value::floating(-0.0)), enc(Value::floating(0.0)));
  EXPECT_EQ(enc(Value::floating(std::bit_cast<double>(0xFFF0000000000123ULL))),
            enc(Value::floating(std::nan(""))));
  EXPECT_GT(enc(Value::floating(std::nan(""))),
            enc(Value::floating(std::numeric_limits<double>::infinity())));
  EXPECT_GT(enc(Value::floating(-std::numeric_limits<double>::infinity())),
            enc(Value::integer(INT64_MAX)));
}

TEST(KeyStrings, ZeroBytesAreEscapedAndTheTerminatorSortsFirst) {
  EXPECT_EQ(enc(Value::string("ab")), bytes({0x16, 0x61, 0x62, 0, 0}));
  EXPECT_EQ(enc(Value::bytes(std::string_view("\0A", 2))), bytes({0x17, 0, 0xFF, 0x41, 0, 0}));
  EXPECT_EQ(enc(Value::bytes(ByteString{})), bytes({0x17, 0, 0}));
  EXPECT_EQ(enc(Value::string("")), bytes({0x16, 0, 0}));
  const Buf a = enc(Value::string("a"));
  const Buf a0 = enc(Value::string(std::string("a\0", 2)));
  const Buf a1 = enc(Value::string("a\x01"));
  EXPECT_EQ(a, bytes({0x16, 0x61, 0, 0}));
  EXPECT_EQ(a0, bytes({0x16, 0x61, 0, 0xFF, 0, 0}));
  EXPECT_EQ(a1, bytes({0x16, 0x61, 0x01, 0, 0}));
  EXPECT_LT(a, a0);
  EXPECT_LT(a0, a1);
  EXPECT_LT(enc(Value::string("")), a);
}

TEST(KeyEncode, ListsAndObjectsAreNotKeysAndAppendNothing) {
  Buf out = {9};
  const auto r = key::encode_value(Value::list({}), out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "a list or an object is not a key");
  EXPECT_FALSE(key::encode_value(Value::object({}), out).has_value());
  EXPECT_EQ(out, bytes({9}));
}

TEST(KeyOrder, ByteOrderOfKeysIsTheOrderOfValues) {
  test::RandomValues random(99);
  std::vector<Value> values;
  for (int i = 0; i < 1500; ++i) values.push_back(random.scalar());
  std::vector<Buf> keys;
  for (const Value& v : values) keys.push_back(enc(v));
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = i; j < values.size(); j += 1 + i % 7) {
      const auto by_value = Value::cmp(values[i], values[j]);
      const auto by_key = keys[i] <=> keys[j];
      ASSERT_EQ(by_value == 0, by_key == 0)
          << values[i].debug_string() << " vs " << values[j].debug_string();
      ASSERT_EQ(by_value < 0, by_key < 0)
          << values[i].debug_string() << " vs " << values[j].debug_string();
    }
  }
}

TEST(KeyOrder, IntsOrderAcrossEveryLengthAndSign) {
  // Neighbours around each byte-length boundary, both signs.
  std::vector<std::int64_t> ints = {INT64_MIN, INT64_MIN + 1, INT64_MAX, INT64_MAX - 1, 0};
  for (int bits = 7; bits < 63; ++bits) {
    const std::int64_t p = std::int64_t{1} << bits;
    for (std::int64_t d : {-1, 0, 1}) {
      ints.push_back(p + d);
      ints.push_back(-p + d);
    }
  }
  std::sort(ints.begin(), ints.end());
  for (std::size_t i = 1; i < ints.size(); ++i) {
    ASSERT_LT(enc(Value::integer(ints[i - 1])), enc(Value::integer(ints[i])))
        << ints[i - 1] << " " << ints[i];
  }
}

TEST(KeyDecode, EveryKeyDecodesToWhatWasEncoded) {
  test::RandomValues random(3);
  for (int i = 0; i < 20000; ++i) {
    const Value v = random.scalar();
    const Buf k = enc(v);
    const auto back = key::decode_key(k);
    ASSERT_TRUE(back.has_value()) << v.debug_string() << ": " << back.error();
    ASSERT_EQ(*back, canonical(v)) << v.debug_string();
    ASSERT_EQ(key::first_component_size(k).value(), k.size());
  }
}

TEST(KeyDecode, OnlyTheEncodersOwnIntFormIsAccepted) {
  const char* const longer = "a key holds an int in more bytes than it needs";
  EXPECT_EQ(message_of(key::decode_key(bytes({0x0D, 0x00}))), longer);
  EXPECT_EQ(message_of(key::decode_key(bytes({0x0A, 0xFF, 0x00}))), longer);
  EXPECT_EQ(message_of(key::decode_key(bytes({0x0E, 0x00, 0x05}))), longer);
  EXPECT_EQ(
      message_of(key::decode_key(bytes({0x04, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))),
      longer);
  EXPECT_EQ(message_of(key::decode_key(bytes({0x0E, 0x01}))), "a key ends inside an int");
  // Splitting measures only, and takes the longer body.
  EXPECT_EQ(key::first_component_size(bytes({0x0D, 0x00, 0x0C})).value(), 2u);
}

TEST(KeyDecode, MalformedKeysAreRefusedWithTheirMessages) {
  EXPECT_EQ(message_of(key::decode_key({})), "a key ends before its tag");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x15, 0, 0}))), "a key ends inside a number");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x16}))), "a key ends inside a string");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x16, 'a'}))), "a key ends inside a string");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x16, 'a', 0}))),
            "a key has a zero byte out of place");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x17, 0, 0x01, 0, 0}))),
            "a key has a zero byte out of place");
  EXPECT_EQ(message_of(key::decode_key(bytes({0x16, 0xFF, 0, 0}))), "a string key is not UTF-8");
  EXPECT_TRUE(key::decode_key(bytes({0x17, 0xFF, 0, 0})).has_value());
  for (int tag : {0, 24, 0x80, 255})
    EXPECT_EQ(message_of(key::decode_key(bytes({tag}))), "a key has an unknown tag") << tag;
  EXPECT_FALSE(key::decode_key(bytes({0x0C, 0x0C})).has_value());  // bytes after the component

  auto split_message = [](const Buf& k) {
    const auto r = key::first_component_size(k);
    return r ? std::string_view("ok") : r.error();
  };
  EXPECT_EQ(split_message(bytes({0x16, 'a', 0})), "a key ends inside a string");
  EXPECT_EQ(split_message(bytes({0x16, 'a', 0, 0x01, 0, 0})), "a key has a zero byte out of place");
  EXPECT_EQ(split_message(bytes({0x15, 1, 2, 3})), "a key ends inside a number");
  EXPECT_EQ(split_message({}), "a key ends before its tag");
  EXPECT_EQ(split_message(bytes({0x30})), "a key has an unknown tag");
}

TEST(KeyComponents, UnescapingReportsTheBytesUsed) {
  const auto r = key::decode_key_component(bytes({'a', 0, 0xFF, 'b', 0, 0, 0x0C}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first, bytes({'a', 0, 'b'}));
  EXPECT_EQ(r->second, 6u);
  EXPECT_EQ(key::decode_key_component({}).error(), "a key ends inside a string");
}

// ------------------------------------------------------------ index entries

TEST(IndexEntries, PlainEntriesSplitAfterTheTerminatorIntoTheStoredPrimaryKey) {
  test::MemoryTreeAccess access(std::make_shared<test::MemoryTrees>());
  test::RandomValues random(17);
  const Index plain{7, 2, false};
  const Index unique{8, 2, true};
  for (int i = 0; i < 5000; ++i) {
    const Value v = random.scalar();
    const Value pk = (i % 2) ? Value::integer(random.int64()) : Value::string(random.text());
    const Buf value_key = enc(v);
    const Buf pk_key = enc(pk);
    Buf entry = value_key;
    entry.insert(entry.end(), pk_key.begin(), pk_key.end());
    const auto parts = objects::split_first(entry, {}, plain, access);
    ASSERT_TRUE(parts.has_value());
    ASSERT_TRUE(std::ranges::equal(parts->value, value_key)) << v.debug_string();
    ASSERT_TRUE(std::ranges::equal(parts->primary_key, pk_key)) << v.debug_string();
    const auto u = objects::split_first(value_key, pk_key, unique, access);
    ASSERT_TRUE(std::ranges::equal(u->primary_key, pk_key));
  }
}

TEST(IndexEntries, MalformedEntriesAreCorruptionNamingTheIndex) {
  test::MemoryTreeAccess access(std::make_shared<test::MemoryTrees>(), "/d/x.db");
  const auto r = objects::split_first(bytes({0x16, 'a', 0}), {}, Index{12, 1, false}, access);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(r.error().to_string(),
            "`/d/x.db` is damaged: an entry of index 12: a key ends inside a string");
}

// ------------------------------------------------------------ primary keys

Collection keyed_by(FieldKind kind) {
  return test::make_collection(
      3, "c", {make_field(1, "k", std::move(kind)), make_field(2, "n", FieldKind::integer(), true)},
      1);
}

TEST(PrimaryKeys, ValuesOfAnotherKindAreRefusedWithTheirDebugForm) {
  Buf out;
  auto refusal = [&](const Collection& c, const Value& v) {
    const auto r = key::primary_key_of(c, v, out);
    EXPECT_TRUE(out.empty());
    return r ? std::string("ok") : r.error().to_string();
  };
  EXPECT_EQ(refusal(keyed_by(FieldKind::integer()), Value::floating(1.5)),
            "Float(1.5) is not a primary key of `c`");
  EXPECT_EQ(refusal(keyed_by(FieldKind::str()), Value::integer(7)),
            "Int(7) is not a primary key of `c`");
  EXPECT_EQ(refusal(keyed_by(FieldKind::bytes()), Value::string("x")),
            "String(\"x\") is not a primary key of `c`");
  Collection keyless = keyed_by(FieldKind::integer());
  keyless.primary_key_field_id = 9;
  EXPECT_EQ(refusal(keyless, Value::integer(1)), "Int(1) is not a primary key of `c`");
  const auto kind = key::primary_key_of(keyed_by(FieldKind::integer()), Value::null(), out);
  EXPECT_EQ(kind.error().kind(), ErrorKind::InvalidArgument);
}

TEST(PrimaryKeys, StackKeysEqualTheGeneralEncoding) {
  test::RandomValues random(23);
  const Collection by_str = keyed_by(FieldKind::str());
  const Collection by_bytes = keyed_by(FieldKind::bytes());
  const Collection by_int = keyed_by(FieldKind::integer());
  for (std::size_t len : {0u, 1u, 60u, 61u, 62u, 63u, 64u, 200u}) {
    for (int zero : {0, 1}) {
      std::string s(len, 'q');
      if (zero && len > 0) s[len / 2] = '\0';
      for (const auto* c : {&by_str, &by_bytes}) {
        const Value v = c == &by_str ? Value::string(s) : Value::bytes(std::string_view(s));
        key::KeyBuffer stack;
        ASSERT_TRUE(key::encode_primary_key(*c, v, stack).has_value());
        Buf general;
        ASSERT_TRUE(key::primary_key_of(*c, v, general).has_value());
        ASSERT_TRUE(std::ranges::equal(stack.view(), general)) << len << " " << zero;
      }
    }
  }
  for (int i = 0; i < 1000; ++i) {
    const Value v = Value::integer(random.int64());
    key::KeyBuffer stack;
    ASSERT_TRUE(key::encode_primary_key(by_int, v, stack).has_value());
    ASSERT_TRUE(std::ranges::equal(stack.view(), enc(v)));
  }
}

class VectorWalk final : public objects::KeyWalk {
 public:
  explicit VectorWalk(std::vector<Buf> keys) : keys_(std::move(keys)) {}
  std::optional<Error> fail_after_all;

  Result<std::optional<ByteView>> next_key() override {
    if (next_ < keys_.size()) return std::optional<ByteView>(keys_[next_++]);
    if (fail_after_all) return fail(*fail_after_all);
    return std::optional<ByteView>();
  }

 private:
  std::vector<Buf> keys_;
  std::size_t next_ = 0;
};

TEST(PrimaryKeys, RecordTreeKeysDecodeInOrderAndAnUndecodableOneEndsTheWalk) {
  test::MemoryTreeAccess access(std::make_shared<test::MemoryTrees>(), "/d/x.db");
  const Collection c = keyed_by(FieldKind::integer());
  VectorWalk walk({enc(Value::integer(-5)), enc(Value::integer(9)), bytes({0x0D, 0x00}),
                   enc(Value::integer(10))});
  auto keys = objects::decode_primary_keys(c, walk, access);
  EXPECT_EQ(keys.next(), std::optional<Value>(Value::integer(-5)));
  EXPECT_EQ(keys.next(), std::optional<Value>(Value::integer(9)));
  EXPECT_EQ(keys.next(), std::nullopt);
  ASSERT_TRUE(keys.error().has_value());
  EXPECT_EQ(keys.error()->to_string(),
            "`/d/x.db` is damaged: a primary key of `c` does not decode");
  EXPECT_EQ(keys.next(), std::nullopt);  // stays ended

  VectorWalk trailing({bytes({0x0C, 0x0C})});
  auto more = objects::decode_primary_keys(c, trailing, access);
  EXPECT_EQ(more.next(), std::nullopt);
  EXPECT_EQ(more.error()->message(), "a primary key of `c` does not decode");

  VectorWalk broken({enc(Value::integer(1))});
  broken.fail_after_all = Error::io("/d/x.db", "boom");
  auto read = objects::decode_primary_keys(c, broken, access);
  EXPECT_TRUE(read.next().has_value());
  EXPECT_EQ(read.next(), std::nullopt);
  EXPECT_EQ(read.error()->kind(), ErrorKind::Io);

  VectorWalk empty({});
  auto none = objects::decode_primary_keys(c, empty, access);
  EXPECT_EQ(none.next(), std::nullopt);
  EXPECT_FALSE(none.error().has_value());
}

TEST(GetByKey, FindsDecodesOrReportsTheDamagedRecord) {
  auto trees = std::make_shared<test::MemoryTrees>();
  test::MemoryTreeAccess access(trees, "/d/x.db");
  const Collection c = keyed_by(FieldKind::str());
  const std::string tree("\0rec/3", 6);
  const Buf k = enc(Value::string("alice"));
  access.put(tree, std::string(k.begin(), k.end()),
             bytes({2, 1, 6, 5, 'a', 'l', 'i', 'c', 'e', 2, 4, 0x54}));
  const Buf bad = enc(Value::string("bob"));
  access.put(tree, std::string(bad.begin(), bad.end()), bytes({1, 2, 4, 2}));

  const auto found = objects::get_by_key(c, bytes_of(tree), Value::string("alice"), access);
  ASSERT_TRUE(found.has_value() && found->has_value());
  EXPECT_EQ(*(*found)->get("n"), Value::integer(42));
  EXPECT_EQ(*(*found)->get("k"), Value::string("alice"));

  EXPECT_EQ(objects::get_by_key(c, bytes_of(tree), Value::string("carol"), access).value(),
            std::nullopt);

  const auto damaged = objects::get_by_key(c, bytes_of(tree), Value::string("bob"), access);
  ASSERT_FALSE(damaged.has_value());
  EXPECT_EQ(damaged.error().to_string(),
            "`/d/x.db` is damaged: an object of `c`: a record lacks a required field");

  const auto wrong = objects::get_by_key(c, bytes_of(tree), Value::integer(1), access);
  EXPECT_EQ(wrong.error().to_string(), "Int(1) is not a primary key of `c`");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
