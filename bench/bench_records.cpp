// Records and keys: how fast an object of ten scalar fields is encoded into
// a record and decoded back, and how fast keys are encoded, with the heap
// allocations each operation makes (counted by replacing the global operator
// new of this program). A memcpy of the same record bytes is the floor.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"

namespace deziro {
namespace {

template <typename T>
void keep(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

// Runs `op` `ops` times after a warm-up and prints one JSON line.
template <typename Op>
void run(const char* workload, const char* engine, std::size_t ops, Op&& op) {
  for (std::size_t i = 0; i < ops / 10 + 1; ++i) op(i);  // steady state first
  const std::size_t allocations_before = bench_allocations::count;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < ops; ++i) op(i);
  const auto end = std::chrono::steady_clock::now();
  const double ns = std::chrono::duration<double, std::nano>(end - start).count();
  const double allocs = static_cast<double>(bench_allocations::count - allocations_before) / ops;
  std::printf(
      "{\"bench\": \"records\", \"workload\": \"%s\", \"engine\": \"%s\", \"ops\": %zu, "
      "\"ns_per_op\": %.1f, \"ops_per_sec\": %.0f, \"allocs_per_op\": %.3f}\n",
      workload, engine, ops, ns / ops, ops / (ns / 1e9), allocs);
  std::fflush(stdout);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_records: %s does not hold; figures would mean nothing\n", what);
    std::exit(1);
  }
}

Field field(std::uint64_t id, const char* name, FieldKind kind) {
  return Field{id, name, std::move(kind), false, std::nullopt};
}

// Ten scalar fields, the shape of a typical row: ints, floats, bools and two
// short strings (short enough to need no allocation of their own).
std::vector<Field> ten_fields() {
  return {field(1, "id", FieldKind::integer()),       field(2, "age", FieldKind::integer()),
          field(3, "score", FieldKind::floating()),   field(4, "active", FieldKind::boolean()),
          field(5, "name", FieldKind::str()),         field(6, "city", FieldKind::str()),
          field(7, "balance", FieldKind::floating()), field(8, "visits", FieldKind::integer()),
          field(9, "verified", FieldKind::boolean()), field(10, "created", FieldKind::integer())};
}

ObjectMap ten_values() {
  ObjectMap m;
  m.insert("id", Value::integer(123456789));
  m.insert("age", Value::integer(42));
  m.insert("score", Value::floating(98.25));
  m.insert("active", Value::boolean(true));
  m.insert("name", Value::string("Ada Lovelace"));
  m.insert("city", Value::string("London"));
  m.insert("balance", Value::floating(-1234.5));
  m.insert("visits", Value::integer(-7));
  m.insert("verified", Value::boolean(false));
  m.insert("created", Value::integer(1733500000000));
  return m;
}

void bench_records() {
  const std::vector<Field> fields = ten_fields();
  const ObjectMap object = ten_values();
  const Schema schema;
  constexpr std::size_t kOps = 2'000'000;

  std::vector<std::uint8_t> record;
  check(codec::encode_object_fields(object, fields, schema, record).has_value(), "encoding");
  check(codec::decode_object_fields(record, fields).value() == object, "the round trip");
  ObjectMap reused;
  check(codec::decode_object_fields_into(record, fields, reused).has_value() && reused == object,
        "decoding into a reused map");

  std::vector<std::uint8_t> out;
  out.reserve(256);
  run("encode_record_10_fields", "deziro", kOps, [&](std::size_t) {
    out.clear();
    auto r = codec::encode_object_fields(object, fields, schema, out);
    keep(r.has_value());
    keep(out.data());
  });

  run("decode_record_10_fields_reused_map", "deziro", kOps, [&](std::size_t) {
    auto r = codec::decode_object_fields_into(record, fields, reused);
    keep(r.has_value());
    keep(reused.size());
  });

  const std::vector<std::uint32_t> order = codec::field_order_by_name(fields);
  check(codec::decode_object_fields_into(record, fields, reused, order).has_value() &&
            reused == object,
        "decoding in name order");
  run("decode_record_10_fields_reused_map_name_order", "deziro", kOps, [&](std::size_t) {
    auto r = codec::decode_object_fields_into(record, fields, reused, order);
    keep(r.has_value());
    keep(reused.size());
  });

  run("decode_record_10_fields_new_map", "deziro", kOps, [&](std::size_t) {
    auto map = codec::decode_object_fields(record, fields);
    keep(map->size());
  });

  run("decode_record_10_fields_schema_free", "deziro", kOps, [&](std::size_t) {
    auto stored = codec::decode_record_object(record);
    keep(stored->size());
  });

  run("skip_record_10_fields", "deziro", kOps, [&](std::size_t) {
    auto field = codec::walk_fields(record, 10);
    keep(*field);
  });

  std::vector<std::uint8_t> copy(record.size());
  run("copy_record_bytes", "memcpy", kOps, [&](std::size_t) {
    std::memcpy(copy.data(), record.data(), record.size());
    keep(copy.data());
  });
}

void bench_keys() {
  constexpr std::size_t kOps = 5'000'000;
  std::vector<std::uint8_t> out;
  out.reserve(128);

  std::vector<Value> ints;
  for (std::int64_t i = 0; i < 1024; ++i) ints.push_back(Value::integer(i * 2654435761LL - 1000));
  for (const Value& v : ints) {
    out.clear();
    check(key::encode_value(v, out).has_value() && key::decode_key(out).value() == v, "int keys");
  }
  run("encode_key_int", "deziro", kOps, [&](std::size_t i) {
    out.clear();
    auto r = key::encode_value(ints[i & 1023], out);
    keep(r.has_value());
    keep(out.data());
  });

  std::vector<Value> floats;
  for (int i = 0; i < 1024; ++i) floats.push_back(Value::floating(i * 0.37 - 100));
  run("encode_key_float", "deziro", kOps, [&](std::size_t i) {
    out.clear();
    auto r = key::encode_value(floats[i & 1023], out);
    keep(r.has_value());
    keep(out.data());
  });

  std::vector<Value> strings;
  for (int i = 0; i < 1024; ++i)
    strings.push_back(Value::string("user-" + std::to_string(i * 7919) + "@example.org"));
  for (const Value& v : strings) {
    out.clear();
    check(key::encode_value(v, out).has_value() && key::decode_key(out).value() == v,
          "string keys");
  }
  run("encode_key_string_24b", "deziro", kOps, [&](std::size_t i) {
    out.clear();
    auto r = key::encode_value(strings[i & 1023], out);
    keep(r.has_value());
    keep(out.data());
  });

  Collection users;
  users.id = 1;
  users.name = "users";
  users.fields = {field(1, "email", FieldKind::str())};
  users.primary_key_field_id = 1;
  run("encode_primary_key_string_stack", "deziro", kOps, [&](std::size_t i) {
    key::KeyBuffer k;
    auto r = key::encode_primary_key(users, strings[i & 1023], k);
    keep(r.has_value());
    keep(k.view().data());
  });

  std::vector<std::vector<std::uint8_t>> encoded;
  for (const Value& v : strings) {
    encoded.emplace_back();
    (void)key::encode_value(v, encoded.back());
  }
  run("split_index_entry_string", "deziro", kOps, [&](std::size_t i) {
    auto size = key::first_component_size(encoded[i & 1023]);
    keep(*size);
  });
}

}  // namespace
}  // namespace deziro

int main() {
  deziro::bench_records();
  deziro::bench_keys();
  return 0;
}
