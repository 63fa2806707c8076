#include "txn/tree_access.hpp"

#include <gtest/gtest.h>

#include <map>

namespace deziro {
namespace DZ_FILE_LOCAL {

// A tree access over one in-memory map, enough to exercise the helpers the
// interface gives its callers.
class MapAccess final : public TreeAccess {
 public:
  std::map<std::string, std::vector<std::uint8_t>> entries;

  Result<std::optional<std::vector<std::uint8_t>>> open_tree(ByteView, ByteView key) override {
    auto it = entries.find(std::string(key.begin(), key.end()));
    if (it == entries.end()) return std::nullopt;
    return it->second;
  }
  Result<bool> get(ByteView, ByteView key, ValueVisitor visitor) override {
    auto it = entries.find(std::string(key.begin(), key.end()));
    if (it == entries.end()) return false;
    DZ_CHECK(visitor(it->second));
    return true;
  }
  Result<std::optional<RangeCursor>> range(ByteView, const KeyBound&, const KeyBound&,
                                           bool) override {
    return std::nullopt;
  }
  Result<std::uint64_t> tree_len(ByteView) override { return entries.size(); }
  Result<std::unique_ptr<TreeReader>> tree_reader(ByteView) override { return nullptr; }
  Error error_at(std::string message) const override {
    return Error::corrupted(path_, std::move(message));
  }
  const std::string& path() const override { return path_; }
  Result<bool> stored_schema_equals(ByteView) override { return false; }
  std::size_t max_key_len() const override { return 957; }

 private:
  std::string path_ = "/tmp/x.db";
};

TEST(TreeAccess, get_as_passes_visitor_failure_back_unchanged) {
  MapAccess access;
  access.entries["\x01"] = {2};
  auto r =
      access.get_as<int>(bytes_of("t"), std::vector<std::uint8_t>{1},
                         [&](ByteView) -> Result<int> { return fail(access.error_at("bad")); });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "`/tmp/x.db` is damaged: bad");
}

TEST(TreeAccess, get_as_answers_none_for_an_absent_key_and_the_value_for_a_present_one) {
  MapAccess access;
  access.entries["\x01"] = {7, 8};
  auto absent =
      access.get_as<std::size_t>(bytes_of("t"), std::vector<std::uint8_t>{2},
                                 [](ByteView v) -> Result<std::size_t> { return v.size(); });
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->has_value());
  auto present = access.get_as<std::size_t>(bytes_of("t"), std::vector<std::uint8_t>{1},
                                            [](ByteView v) -> Result<std::size_t> { return v[1]; });
  ASSERT_TRUE(present);
  EXPECT_EQ(**present, 8u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
