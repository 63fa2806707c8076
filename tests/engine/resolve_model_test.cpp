// Random schema histories: a declaration evolves through migrations (renames,
// deletions, replacements, new fields, collections and indexes), and every
// resolution must keep the invariants the file relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "schema/declare.hpp"
#include "schema/resolve.hpp"
#include "support/declared_builders.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

class History {
 public:
  explicit History(unsigned seed) : rng_(seed) {}

  DeclaredSchema first() {
    DeclaredSchema d{1, {}};
    int n = pick(1, 3);
    for (int i = 0; i < n; ++i) d.collections.push_back(new_collection(d, /*existing=*/false));
    add_links(d);
    return d;
  }

  // The next version of `d` and the migration that leads to it.
  std::pair<DeclaredSchema, DeclaredMigration> evolve(const DeclaredSchema& d) {
    DeclaredSchema next = d;
    next.version = d.version + 1;
    DeclaredMigration m = migration_to(next.version);
    created_.clear();
    int changes = pick(1, 4);
    for (int i = 0; i < changes; ++i) change(next, m);
    return {std::move(next), std::move(m)};
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string fresh(const char* prefix) { return format_text("{}{}", prefix, counter_++); }

  K scalar() {
    switch (pick(0, 4)) {
      case 0:
        return K::boolean();
      case 1:
        return K::integer();
      case 2:
        return K::floating();
      case 3:
        return K::str();
      default:
        return K::bytes();
    }
  }

  DeclaredField new_field(bool existing) {
    K kind = pick(0, 5) == 0   ? K::list(scalar())
             : pick(0, 5) == 0 ? K::object({optional(fresh("e"), scalar())})
                               : scalar();
    std::string name = fresh("f");
    created_.insert(name);
    // Fields added to a collection that holds objects need a value for them.
    if (existing || pick(0, 1) == 0) return optional(std::move(name), std::move(kind));
    return required(std::move(name), std::move(kind));
  }

  DeclaredCollection new_collection(const DeclaredSchema&, bool existing) {
    DeclaredCollection c;
    c.name = fresh("c");
    int n = pick(0, 4);
    for (int i = 0; i < n; ++i) c.fields.push_back(new_field(false));
    (void)existing;
    if (pick(0, 1) == 0) {
      c.key = fresh("k");
      c.fields.insert(c.fields.begin() + pick(0, static_cast<int>(c.fields.size())),
                      required(*c.key, pick(0, 1) ? K::str() : K::integer()));
    }
    for (const DeclaredField& f : c.fields)
      if (f.kind.tag() != K::Tag::Object && pick(0, 2) == 0)
        c.indexes.push_back({f.name, pick(0, 1) == 0});
    return c;
  }

  void add_links(DeclaredSchema& d) {
    for (DeclaredCollection& c : d.collections)
      if (pick(0, 2) == 0) {
        const auto& target = d.collections[pick(0, static_cast<int>(d.collections.size()) - 1)];
        c.fields.push_back(optional(fresh("l"), K::link(target.name)));
      }
  }

  static void rename_links(std::vector<DeclaredField>& fields, const std::string& from,
                           const std::string& to) {
    for (DeclaredField& f : fields) {
      const K* inner = &f.kind;
      bool list = inner->tag() == K::Tag::List;
      if (list) inner = &inner->element();
      if (inner->tag() == K::Tag::Link && inner->link_target() == from)
        f.kind = list ? K::list(K::link(to)) : K::link(to);
    }
  }

  static bool links_to(const DeclaredSchema& d, const std::string& name) {
    for (const DeclaredCollection& c : d.collections)
      for (const DeclaredField& f : c.fields) {
        const K* inner = f.kind.tag() == K::Tag::List ? &f.kind.element() : &f.kind;
        if (inner->tag() == K::Tag::Link && inner->link_target() == name && c.name != name)
          return true;
      }
    return false;
  }

  void change(DeclaredSchema& d, DeclaredMigration& m) {
    if (d.collections.empty()) {
      d.collections.push_back(new_collection(d, false));
      created_.insert(d.collections.back().name);
      return;
    }
    DeclaredCollection& c = d.collections[pick(0, static_cast<int>(d.collections.size()) - 1)];
    bool c_is_new = created_.contains(c.name);
    // Fields the previous version has, other than the key.
    std::vector<std::size_t> plain_fields;
    for (std::size_t i = 0; i < c.fields.size(); ++i)
      if ((!c.key || c.fields[i].name != *c.key) && !created_.contains(c.fields[i].name))
        plain_fields.push_back(i);
    switch (pick(0, 6)) {
      case 0: {  // a new collection
        DeclaredCollection added = new_collection(d, false);
        created_.insert(added.name);
        d.collections.push_back(std::move(added));
        break;
      }
      case 1: {  // delete a collection nothing else links to
        if (c_is_new || links_to(d, c.name) || renamed_collection(m, c.name)) break;
        m.collection_deletions.push_back(c.name);
        std::string name = c.name;
        std::erase_if(d.collections, [&](const DeclaredCollection& x) { return x.name == name; });
        break;
      }
      case 2: {  // rename a collection
        if (c_is_new) break;
        std::string from = c.name, to = fresh("c");
        for (const auto& r : m.collection_renames)
          if (r.new_name == from) return;
        m.collection_renames.push_back({from, to});
        c.name = to;
        for (DeclaredCollection& x : d.collections) rename_links(x.fields, from, to);
        break;
      }
      case 3: {  // rename a field
        if (c_is_new || plain_fields.empty() || renamed_collection(m, c.name)) break;
        DeclaredField& f =
            c.fields[plain_fields[pick(0, static_cast<int>(plain_fields.size()) - 1)]];
        for (const auto& r : m.field_replacements)
          if (r.collection == c.name && r.field == f.name) return;
        std::string to = fresh("f");
        m.field_renames.push_back({c.name, f.name, to});
        for (DeclaredIndex& index : c.indexes)
          if (index.field == f.name) index.field = to;
        f.name = to;
        break;
      }
      case 4: {  // replace a field by an optional one of another kind
        if (c_is_new || plain_fields.empty() || renamed_collection(m, c.name)) break;
        DeclaredField& f =
            c.fields[plain_fields[pick(0, static_cast<int>(plain_fields.size()) - 1)]];
        m.field_replacements.push_back({c.name, f.name});
        f = optional(f.name, K::object({optional("r", scalar())}));
        std::erase_if(c.indexes, [&](const DeclaredIndex& i) { return i.field == f.name; });
        break;
      }
      case 5:  // a new field
        c.fields.push_back(new_field(!c_is_new));
        break;
      default:  // flip an index between plain and unique
        if (!c.indexes.empty())
          c.indexes[pick(0, static_cast<int>(c.indexes.size()) - 1)].unique ^= true;
        break;
    }
  }

  static bool renamed_collection(const DeclaredMigration& m, const std::string& name) {
    for (const auto& r : m.collection_renames)
      if (r.new_name == name) return true;
    return false;
  }

  std::mt19937 rng_;
  int counter_ = 0;
  // Collections and fields this version adds: no migration names them.
  std::set<std::string> created_;
};

std::string describe(const DeclaredMigration& m) {
  std::string out = "\nmigration:";
  for (const auto& r : m.field_renames)
    out += format_text(" field {}.{}->{};", r.collection, r.old_name, r.new_name);
  for (const auto& r : m.field_replacements)
    out += format_text(" replace {}.{};", r.collection, r.field);
  for (const auto& name : m.collection_deletions) out += format_text(" delete {};", name);
  for (const auto& r : m.collection_renames)
    out += format_text(" rename {}->{};", r.old_name, r.new_name);
  return out;
}

void expect_valid(const DeclaredSchema& d, std::vector<DeclaredMigration> migrations) {
  OpenOptions options;
  options.schema = std::make_shared<const DeclaredSchema>(d);
  options.migrations = std::move(migrations);
  Status status = declare::validate_options(options);
  ASSERT_TRUE(status) << status.error().to_string();
}

void sort_by_name(std::vector<DeclaredField>& fields) {
  std::sort(fields.begin(), fields.end(),
            [](const DeclaredField& a, const DeclaredField& b) { return a.name < b.name; });
  for (DeclaredField& f : fields)
    if (f.kind.tag() == K::Tag::Object) {
      std::vector<DeclaredField> inner = f.kind.fields();
      sort_by_name(inner);
      f.kind = K::object(std::move(inner));
    }
}

// A declaration with every list in name order.
DeclaredSchema normalized(DeclaredSchema d) {
  std::sort(
      d.collections.begin(), d.collections.end(),
      [](const DeclaredCollection& a, const DeclaredCollection& b) { return a.name < b.name; });
  for (DeclaredCollection& c : d.collections) {
    sort_by_name(c.fields);
    std::sort(c.indexes.begin(), c.indexes.end(),
              [](const DeclaredIndex& a, const DeclaredIndex& b) { return a.field < b.field; });
  }
  return d;
}

std::set<std::uint64_t> index_ids(const Schema& s) {
  std::set<std::uint64_t> ids;
  for (const Collection& c : s.collections)
    for (const Index& i : c.indexes) ids.insert(i.id);
  return ids;
}

TEST(ResolveModel, random_histories_keep_ids_counters_and_round_trips) {
  for (unsigned seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    History history(seed);
    DeclaredSchema declared = history.first();
    expect_valid(declared, {});
    auto first = resolve::resolve_schema(declared, resolve::empty_schema(), {});
    ASSERT_TRUE(first) << first.error().to_string();
    Schema stored = first->schema;
    std::set<std::uint64_t> every_collection_id;
    for (const Collection& c : stored.collections) every_collection_id.insert(c.id);

    for (int step = 0; step < 8; ++step) {
      SCOPED_TRACE(step);
      auto [next, migration] = history.evolve(declared);
      expect_valid(next, {migration});
      auto r = resolve::resolve_schema(next, stored, std::span(&migration, 1));
      ASSERT_TRUE(r) << r.error().to_string() << describe(migration);
      const Schema& s = r->schema;

      EXPECT_EQ(schema_codec::check_consistency(s), std::nullopt);
      EXPECT_GE(s.next_collection_id, stored.next_collection_id);
      EXPECT_GE(s.next_index_id, stored.next_index_id);

      // Collections: kept ids are the old ones, new ids were never used.
      for (const Collection& c : s.collections) {
        const Collection* old = stored.collection_by_id(c.id);
        if (!old) {
          EXPECT_GE(c.id, stored.next_collection_id);
          EXPECT_FALSE(every_collection_id.contains(c.id));
          continue;
        }
        EXPECT_EQ(c.primary_key_field_id, old->primary_key_field_id);
        EXPECT_GE(c.next_field_id, old->next_field_id);
        for (const Field& f : c.fields)
          if (!old->field_by_id(f.id)) {
            EXPECT_GE(f.id, old->next_field_id);
          }
      }
      for (const Collection& c : s.collections) every_collection_id.insert(c.id);

      // Indexes: every old one is kept or dropped, once; builds are fresh.
      std::set<std::uint64_t> old_ids = index_ids(stored), new_ids = index_ids(s);
      std::set<std::uint64_t> dropped(r->dropped_indexes.begin(), r->dropped_indexes.end());
      EXPECT_EQ(dropped.size(), r->dropped_indexes.size());
      for (std::uint64_t id : old_ids) {
        bool deleted_with_collection = false;
        for (std::uint64_t gone : r->dropped_collections)
          for (const Index& i : stored.collection_by_id(gone)->indexes)
            deleted_with_collection |= i.id == id;
        if (!deleted_with_collection) {
          EXPECT_NE(new_ids.contains(id), dropped.contains(id)) << id;
        }
      }
      for (const IndexBuild& b : r->builds) {
        EXPECT_GE(b.index_id, stored.next_index_id);
        EXPECT_TRUE(new_ids.contains(b.index_id));
      }

      // The same declaration again changes nothing; so does its declared view.
      auto again = resolve::resolve_schema(next, s, {});
      ASSERT_TRUE(again) << again.error().to_string();
      EXPECT_EQ(again->schema, s);
      EXPECT_TRUE(again->builds.empty());
      EXPECT_TRUE(again->dropped_indexes.empty());
      auto view = resolve::resolve_collections(s);
      ASSERT_TRUE(view) << view.error().to_string();
      auto from_view = resolve::resolve_schema(*view, s, {});
      ASSERT_TRUE(from_view) << from_view.error().to_string();
      EXPECT_EQ(from_view->schema, s);
      // The resolved schema says what was declared, in id order.
      EXPECT_EQ(normalized(*view), normalized(next));

      declared = std::move(next);
      stored = s;
    }
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
