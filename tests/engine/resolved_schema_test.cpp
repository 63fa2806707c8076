#include "schema/resolved_schema.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "schema/resolve.hpp"
#include "support/declared_builders.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;
using Bytes = std::vector<std::uint8_t>;

Schema resolved_schema_of(const DeclaredSchema& declared) {
  auto r = resolve::resolve_schema(declared, resolve::empty_schema(), {});
  EXPECT_TRUE(r);
  return r->schema;
}

TEST(ResolvedSchema, names_and_field_order_are_precomputed_per_collection) {
  Schema s = resolved_schema_of(declared(
      1, {auto_collection("a", {}),
          auto_collection(
              "c", {required("bb", K::str()), required("b", K::str()), required("a", K::str())},
              {{"b", false}, {"a", true}})}));
  auto resolved = ResolvedSchema::make(s, Bytes{1});
  ASSERT_EQ(resolved->collections.size(), 2u);
  const ResolvedCollection& c = resolved->collections[1];
  EXPECT_EQ(c.trees.record_tree, std::string("\0rec/2", 6));
  EXPECT_EQ(c.trees.counter_key, "next/2");
  EXPECT_EQ(c.trees.index_trees,
            (std::vector<std::string>{std::string("\0idx/1", 6), std::string("\0idx/2", 6)}));
  // Fields in id order: id, bb, b, a; by name: a, b, bb, id.
  EXPECT_EQ(c.fields_by_name, (std::vector<std::uint32_t>{3, 2, 1, 0}));
}

// The cache never looks inside a mapping; a stand-in made by aliasing an int
// is enough to tell entries apart.
std::shared_ptr<const ClassMapping> mapping_tagged(int tag) {
  auto owner = std::make_shared<int>(tag);
  return std::shared_ptr<const ClassMapping>(owner,
                                             reinterpret_cast<const ClassMapping*>(owner.get()));
}

TEST(ClassCache, the_first_mapping_of_a_key_stays_under_concurrent_inserts) {
  ClassCache cache;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&cache, t] {
      for (std::uint64_t layout = 0; layout < 200; ++layout)
        cache.insert(layout, layout % 3, mapping_tagged(t));
    });
  for (auto& thread : threads) thread.join();
  for (std::uint64_t layout = 0; layout < 200; ++layout) {
    auto mapping = cache.get(layout, layout % 3);
    ASSERT_NE(mapping, nullptr);
    cache.insert(layout, layout % 3, mapping_tagged(99));
    EXPECT_EQ(cache.get(layout, layout % 3), mapping);
    EXPECT_EQ(cache.get(layout, layout % 3 + 1), nullptr);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
