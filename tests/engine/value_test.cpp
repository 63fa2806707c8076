#include "format/object/value.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>

namespace deziro {
namespace DZ_FILE_LOCAL {

using std::weak_ordering;

Value F(double x) { return Value::floating(x); }
Value I(std::int64_t x) { return Value::integer(x); }
Value S(std::string s) { return Value::string(std::move(s)); }
Value B(std::string_view s) { return Value::bytes(s); }

double nan_with_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

TEST(ValueOrder, NanIsGreatestAndEveryNanIsEqual) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Value::cmp(F(std::nan("")), F(inf)), weak_ordering::greater);
  EXPECT_EQ(
      Value::cmp(F(nan_with_bits(0x7FF0000000000001ULL)), F(nan_with_bits(0xFFF8000000000123ULL))),
      weak_ordering::equivalent);
  EXPECT_EQ(Value::cmp(F(-0.0), F(0.0)), weak_ordering::equivalent);
  EXPECT_EQ(Value::cmp(F(-2.0), F(-1.0)), weak_ordering::less);
  EXPECT_EQ(Value::cmp(F(-inf), F(-1e308)), weak_ordering::less);
}

TEST(ValueOrder, EveryIntSortsBeforeEveryFloat) {
  EXPECT_EQ(Value::cmp(I(-1), I(0)), weak_ordering::less);
  EXPECT_EQ(Value::cmp(I(std::numeric_limits<std::int64_t>::max()),
                       F(-std::numeric_limits<double>::infinity())),
            weak_ordering::less);
  EXPECT_EQ(Value::cmp(I(5), F(1.0)), weak_ordering::less);
}

TEST(ValueOrder, StringsAndBytesCompareByBytesThenLength) {
  EXPECT_EQ(Value::cmp(S("ab"), S("abc")), weak_ordering::less);
  EXPECT_EQ(Value::cmp(S(std::string("a\0", 2)), S("a")), weak_ordering::greater);
  EXPECT_EQ(Value::cmp(S("\xff"), S("\x01")), weak_ordering::greater);  // unsigned bytes
  EXPECT_EQ(Value::cmp(S("zzz"), B("\x01")), weak_ordering::less);
  EXPECT_EQ(Value::cmp(B(""), B(std::string_view("\0", 1))), weak_ordering::less);
}

TEST(ValueOrder, ListsAndObjectsAreAllEqualAndGreatest) {
  const Value l1 = Value::list({I(1)});
  const Value l2 = Value::list({I(2)});
  EXPECT_EQ(Value::cmp(l1, l2), weak_ordering::equivalent);
  EXPECT_EQ(Value::cmp(l1, Value::object({})), weak_ordering::equivalent);
  EXPECT_EQ(Value::cmp(l1, Value::null()), weak_ordering::greater);
  EXPECT_EQ(Value::cmp(B("\xff\xff"), Value::object({})), weak_ordering::less);
}

TEST(ValueOrder, KindsSortNullFalseTrueIntFloatStringBytes) {
  const Value ladder[] = {Value::null(),
                          Value::boolean(false),
                          Value::boolean(true),
                          I(INT64_MIN),
                          I(INT64_MAX),
                          F(-1e300),
                          F(std::nan("")),
                          S(""),
                          S("\xff\xff"),
                          B(""),
                          B("\xff")};
  for (std::size_t i = 0; i < std::size(ladder); ++i)
    for (std::size_t j = 0; j < std::size(ladder); ++j)
      EXPECT_EQ(Value::cmp(ladder[i], ladder[j]), i <=> j) << i << " " << j;
}

TEST(ValueOrder, OrderIsTransitiveOverRandomFloats) {
  // A float order done with floating-point comparison breaks on NaN and -0.0;
  // sorting by cmp must give a sequence whose neighbours never go backwards.
  std::mt19937_64 rng(7);
  std::vector<Value> values;
  for (int i = 0; i < 2000; ++i) {
    const std::uint64_t pick = rng() % 4;
    if (pick == 0)
      values.push_back(F(std::bit_cast<double>(rng())));
    else if (pick == 1)
      values.push_back(F(std::bit_cast<double>(rng() | 0x7FF0000000000001ULL)));
    else if (pick == 2)
      values.push_back(F((rng() & 1) ? -0.0 : 0.0));
    else
      values.push_back(I(static_cast<std::int64_t>(rng())));
  }
  std::sort(values.begin(), values.end(),
            [](const Value& a, const Value& b) { return Value::cmp(a, b) < 0; });
  for (std::size_t i = 1; i < values.size(); ++i) {
    ASSERT_NE(Value::cmp(values[i - 1], values[i]), weak_ordering::greater);
    if (values[i - 1].kind() == ValueKind::Float && values[i].kind() == ValueKind::Float &&
        !std::isnan(values[i - 1].as_float()) && !std::isnan(values[i].as_float())) {
      ASSERT_LE(values[i - 1].as_float(), values[i].as_float());
    }
  }
}

TEST(ValueCopy, CopyIsDeepAndEqualityIsBitwiseForFloats) {
  ObjectMap inner;
  inner.insert("x", Value::list({I(1), S("two")}));
  Value original = Value::object(std::move(inner));
  Value copy = original;
  copy.as_object().get_mut("x")->as_list().push_back(I(3));
  EXPECT_EQ(original.as_object().get("x")->as_list().size(), 2u);
  EXPECT_FALSE(copy == original);
  EXPECT_FALSE(F(0.0) == F(-0.0));
  EXPECT_TRUE(F(nan_with_bits(0x7FF0000000000005ULL)) == F(nan_with_bits(0x7FF0000000000005ULL)));
}

TEST(ValueDebug, DebugFormNamesTheVariantAndItsContent) {
  EXPECT_EQ(I(5).debug_string(), "Int(5)");
  EXPECT_EQ(I(-7).debug_string(), "Int(-7)");
  EXPECT_EQ(F(1.5).debug_string(), "Float(1.5)");
  EXPECT_EQ(F(1.0).debug_string(), "Float(1.0)");
  EXPECT_EQ(F(1e20).debug_string(), "Float(1e20)");
  EXPECT_EQ(F(1.5e-7).debug_string(), "Float(1.5e-7)");
  EXPECT_EQ(F(-std::numeric_limits<double>::infinity()).debug_string(), "Float(-inf)");
  EXPECT_EQ(F(std::nan("")).debug_string(), "Float(NaN)");
  EXPECT_EQ(Value::null().debug_string(), "Null");
  EXPECT_EQ(Value::boolean(true).debug_string(), "Bool(true)");
  EXPECT_EQ(S("a\"b\n").debug_string(), "String(\"a\\\"b\\n\")");
  EXPECT_EQ(B(std::string_view("\0A", 2)).debug_string(), "Bytes([0, 65])");
  ObjectMap m;
  m.insert("k", Value::list({I(1), Value::null()}));
  EXPECT_EQ(Value::object(m).debug_string(), "Object({\"k\": List([Int(1), Null])})");
}

TEST(ObjectMapSearch, EmptyAndPastTheEnd) {
  ObjectMap m;
  EXPECT_FALSE(m.search("a").found);
  EXPECT_EQ(m.search("a").index, 0u);
  m.insert("b", I(1));
  m.insert("d", I(2));
  m.insert("c", I(3));
  EXPECT_EQ(m.search("z").index, 3u);
  EXPECT_FALSE(m.search("z").found);
  EXPECT_EQ(m.search("a").index, 0u);
  EXPECT_EQ(m.search("bb").index, 1u);
  EXPECT_TRUE(m.search("c").found);
  EXPECT_EQ(m.search("c").index, 1u);
}

TEST(ObjectMapInsert, ReplacingKeepsTheCountAndReturnsTheOldValue) {
  ObjectMap m;
  EXPECT_FALSE(m.insert("a", I(1)).has_value());
  const auto old = m.insert("a", I(2));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, I(1));
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(*m.get("a"), I(2));
}

TEST(ObjectMapInsert, RandomInsertsStaySortedAndFindable) {
  // A model: std::map over the same names. Names from 0 to 40 bytes, so both
  // the inline and the allocated form are exercised, with shared prefixes.
  std::mt19937_64 rng(11);
  std::map<std::string, std::int64_t> model;
  ObjectMap m;
  for (int i = 0; i < 3000; ++i) {
    std::string name(rng() % 41, 'n');
    for (char& c : name) c = static_cast<char>("ab\0\xff"[rng() % 4]);
    const auto v = static_cast<std::int64_t>(rng());
    const bool had = model.count(name) != 0;
    const std::optional<Value> old = m.insert(name, I(v));
    ASSERT_EQ(old.has_value(), had);
    if (had) {
      ASSERT_EQ(old->as_int(), model[name]);
    }
    model[name] = v;
  }
  ASSERT_EQ(m.size(), model.size());
  std::size_t i = 0;
  for (const auto& [name, v] : model) {  // std::string's order is the byte order
    ASSERT_EQ(m[i].name.view(), name);
    ASSERT_EQ(m[i].value.as_int(), v);
    const auto at = m.search(name);
    ASSERT_TRUE(at.found);
    ASSERT_EQ(at.index, i);
    ++i;
  }
}

TEST(ObjectMapNames, NamesOf22And23BytesComeBackUnchanged) {
  const std::string n22(22, 'x');
  const std::string n23(23, 'x');
  ObjectMap m;
  m.insert(n23, I(23));
  m.insert(n22, I(22));
  EXPECT_EQ(m[0].name.view(), n22);
  EXPECT_TRUE(m[0].name.is_inline());
  EXPECT_EQ(m[1].name.view(), n23);
  EXPECT_FALSE(m[1].name.is_inline());
  EXPECT_EQ(m.get(n22)->as_int(), 22);
  EXPECT_EQ(m.get(n23)->as_int(), 23);
  ObjectMap copy = m;
  m.clear();
  EXPECT_EQ(copy.get(n23)->as_int(), 23);
}

TEST(ObjectMapFromEntries, SortsByNameBytesShorterFirst) {
  std::vector<ObjectEntry> entries;
  entries.emplace_back("ab", I(1));
  entries.emplace_back("a", I(2));
  entries.emplace_back("\xff", I(3));
  entries.emplace_back("B", I(4));
  const ObjectMap m = ObjectMap::from_entries(std::move(entries));
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].name.view(), "B");
  EXPECT_EQ(m[1].name.view(), "a");
  EXPECT_EQ(m[2].name.view(), "ab");
  EXPECT_EQ(m[3].name.view(), "\xff");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
