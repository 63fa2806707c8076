// Random inserts, puts, updates and deletes against an in-memory model:
// after every commit each index tree holds exactly the entries the model's
// objects imply, and every object reads back as the model holds it.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "support/declared_builders.hpp"
#include "support/object_db.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

struct Obj {
  std::optional<std::string> u;                 // unique
  std::int64_t p = 0;                           // plain
  std::optional<std::vector<std::int64_t>> l;   // plain list
  std::optional<std::vector<std::int64_t>> ul;  // unique list
};

using Entries = std::set<std::pair<ByteString, ByteString>>;

ValueList ints(const std::vector<std::int64_t>& xs) {
  ValueList out;
  for (auto x : xs) out.push_back(Value::integer(x));
  return out;
}

ObjectMap to_map(std::int64_t k, const Obj& o) {
  std::vector<ObjectEntry> e{{"k", Value::integer(k)}, {"p", Value::integer(o.p)}};
  if (o.u) e.emplace_back("u", Value::string(*o.u));
  if (o.l) e.emplace_back("l", Value::list(ints(*o.l)));
  if (o.ul) e.emplace_back("ul", Value::list(ints(*o.ul)));
  return object(std::move(e));
}

class Model {
 public:
  std::map<std::int64_t, Obj> objects;

  bool unique_ok(std::int64_t k, const Obj& o) const {
    for (const auto& [other, held] : objects) {
      if (other == k) continue;
      if (o.u && held.u == o.u) return false;
      if (o.ul && held.ul)
        for (auto x : *o.ul)
          for (auto y : *held.ul)
            if (x == y) return false;
    }
    return true;
  }

  // index 0: u unique, 1: p plain, 2: l plain, 3: ul unique
  std::vector<Entries> expected() const {
    std::vector<Entries> out(4);
    for (const auto& [k, o] : objects) {
      const ByteString pk = key_bytes(Value::integer(k));
      const ByteString null_key = concat(key_bytes(Value::null()), pk);
      out[0].emplace(o.u ? key_bytes(Value::string(*o.u)) : null_key, pk);
      out[1].emplace(concat(key_bytes(Value::integer(o.p)), pk), ByteString());
      if (!o.l)
        out[2].emplace(null_key, ByteString());
      else
        for (auto x : *o.l) out[2].emplace(concat(key_bytes(Value::integer(x)), pk), ByteString());
      if (!o.ul)
        out[3].emplace(null_key, pk);
      else
        for (auto x : *o.ul) out[3].emplace(key_bytes(Value::integer(x)), pk);
    }
    return out;
  }
};

class Random {
 public:
  explicit Random(std::uint32_t seed) : gen_(seed) {}
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen_);
  }
  bool coin() { return between(0, 1) == 1; }
  std::optional<std::vector<std::int64_t>> list(std::int64_t max_len, std::int64_t range) {
    if (between(0, 3) == 0) return std::nullopt;
    std::vector<std::int64_t> xs(static_cast<std::size_t>(between(0, max_len)));
    for (auto& x : xs) x = between(0, range);
    return xs;
  }
  Obj obj() {
    Obj o;
    if (between(0, 2) != 0) o.u = std::string(1, static_cast<char>('a' + between(0, 7)));
    o.p = between(0, 5);
    o.l = list(3, 4);
    o.ul = list(2, 40);
    return o;
  }

 private:
  std::mt19937 gen_;
};

DeclaredSchema model_schema() {
  return declared(
      1, {keyed_collection(
             "m", "k",
             {required("k", K::integer()), optional("u", K::str()), required("p", K::integer()),
              optional("l", K::list(K::integer())), optional("ul", K::list(K::integer()))},
             {{"u", true}, {"p", false}, {"l", false}, {"ul", true}})});
}

void check(const ObjectDb& db, const Model& model, int step) {
  auto r = db.read();
  auto txn = db.begin();
  auto ref = collection(*txn, "m");
  txn.reset();
  const auto want = model.expected();
  for (std::size_t i = 0; i < 4; ++i) {
    auto got = index_tree(r, ref, i);
    Entries have(got.begin(), got.end());
    EXPECT_EQ(have.size(), got.size()) << "index " << i << " holds an entry twice";
    EXPECT_EQ(have, want[i]) << "index " << i << " after step " << step;
  }
  EXPECT_EQ(*r.tree_len(bytes_of(ref.resolved().trees.record_tree)), model.objects.size());
  for (const auto& [k, o] : model.objects) {
    auto s = stored(r, ref, Value::integer(k));
    ASSERT_TRUE(s) << k;
    EXPECT_EQ(*s->get("p"), Value::integer(o.p));
    EXPECT_EQ(*s->get("u"), o.u ? Value::string(*o.u) : Value::null());
    EXPECT_EQ(*s->get("ul"), o.ul ? Value::list(ints(*o.ul)) : Value::null());
  }
}

TEST(ObjectModel, indexes_hold_exactly_what_the_objects_imply_after_every_commit) {
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    ObjectDb db(model_schema());
    Model model;
    Random rnd(seed);
    auto txn = db.begin();
    LayoutShape layout{7000 + seed, {{"k", {}}, {"u", {}}, {"p", {}}, {"l", {}}, {"ul", {}}}};
    for (int step = 0; step < 400; ++step) {
      auto ref = collection(*txn, "m");
      const std::int64_t k = rnd.between(0, 30);
      const auto op = rnd.between(0, 3);
      if (op <= 1) {
        const WriteMode mode = op == 0 ? WriteMode::Insert : WriteMode::Put;
        Obj o = rnd.obj();
        const bool expect_ok =
            model.unique_ok(k, o) && (mode == WriteMode::Put || !model.objects.contains(k));
        std::optional<Error> error;
        bool written;
        if (!o.l && !o.ul && rnd.coin()) {
          const LayoutValue row[] = {
              LayoutValue::int64(k), o.u ? LayoutValue::str(*o.u) : LayoutValue::absent(),
              LayoutValue::int64(o.p), LayoutValue::absent(), LayoutValue::absent()};
          objects::LayoutRun run{layout, row, 5};
          written = objects::write_typed_object(*txn, ref, run, mode, error).has_value();
        } else {
          auto r = objects::write_object_map(*txn, ref, to_map(k, o), mode);
          written = r.has_value();
          if (!r) error = r.error();
        }
        ASSERT_EQ(written, expect_ok)
            << "step " << step << ": " << (error ? error->to_string() : "");
        if (written)
          model.objects[k] = o;
        else
          EXPECT_EQ(error->kind(), ErrorKind::DuplicateKey);
      } else if (op == 2) {
        Obj changes = rnd.obj();
        std::vector<ObjectEntry> e;
        auto it = model.objects.find(k);
        Obj merged = it != model.objects.end() ? it->second : Obj{};
        if (rnd.coin()) {
          e.emplace_back("u", changes.u ? Value::string(*changes.u) : Value::null());
          merged.u = changes.u;
        }
        if (rnd.coin()) {
          e.emplace_back("p", Value::integer(changes.p));
          merged.p = changes.p;
        }
        if (rnd.coin()) {
          e.emplace_back("ul", changes.ul ? Value::list(ints(*changes.ul)) : Value::null());
          merged.ul = changes.ul;
        }
        auto r = objects::update(*txn, ref, Value::integer(k), object(std::move(e)));
        if (it == model.objects.end()) {
          ASSERT_TRUE(r && !*r) << step;
        } else if (model.unique_ok(k, merged)) {
          ASSERT_TRUE(r && *r) << step << ": " << (r ? "" : r.error().to_string());
          it->second = merged;
        } else {
          ASSERT_FALSE(r) << step;
          EXPECT_EQ(r.error().kind(), ErrorKind::DuplicateKey);
        }
      } else {
        auto r = objects::remove(*txn, ref, Value::integer(k));
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(*r, model.objects.erase(k) == 1);
      }
      ASSERT_FALSE(txn->failed());
      if (step % 25 == 24) {
        ASSERT_TRUE(txn->commit());
        check(db, model, step);
        txn = db.begin();
      }
    }
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
