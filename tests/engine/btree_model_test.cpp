// The B-tree against a std::map: random puts, replaces, deletes, modifying
// inserts, entries set to a value or to none, and range scans over many commits, for every page
// size and both leaf layouts, the tree checked after every commit and read back from the file at
// the end; loads in key order, which must leave full nodes; random inserts over many commits,
// which must leave the leaves well filled; and many entries set in one call.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>

#include "btree/check.hpp"
#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "storage/db_file.hpp"
#include "support/temp_dir.hpp"
#include "support/tree_file.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Model = std::map<std::string, std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr std::uint64_t kTreeId = 20;

struct Config {
  std::uint32_t page_size;
  LeafLayout layout;
  std::uint8_t cipher = 0;  // 0: checksums
  int scale = 1;            // more commits and changes per commit
  int early_every = 0;      // the leaves are written early after every so many changes
};

PageProtection protection_for(const Config& config) {
  if (config.cipher == 0) return PageProtection::checksum();
  std::array<std::uint8_t, PageProtection::kKeySize> key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return PageProtection::with_key(config.cipher, key).value();
}

std::string config_name(const ::testing::TestParamInfo<Config>& info) {
  return format_text(
      "p{}_{}{}{}{}", info.param.page_size,
      info.param.layout == LeafLayout::Fixed ? "fixed" : "varint",
      info.param.cipher == 0 ? "" : format_text("_cipher{}", info.param.cipher),
      info.param.scale == 1 ? "" : format_text("_x{}", info.param.scale),
      info.param.early_every == 0 ? "" : format_text("_early{}", info.param.early_every));
}

Pairs scan(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
           const KeyBound& upper, bool reverse) {
  Pairs out;
  auto visit = [&](ByteView k, ByteView v) -> Result<VisitAnswer> {
    out.emplace_back(to_string(k), to_string(v));
    return VisitAnswer::Continue;
  };
  Status s = reverse ? read::scan_backward(cx, root, lower, upper, visit)
                     : read::scan_forward(cx, root, lower, upper, visit);
  EXPECT_TRUE(s.has_value()) << s.error().to_string();
  return out;
}

Pairs expected_range(const Model& model, const KeyBound& lower, const KeyBound& upper,
                     bool reverse) {
  Pairs out;
  for (const auto& [k, v] : model)
    if (read::above_lower(bytes_view(k), lower) && read::below_upper(bytes_view(k), upper))
      out.emplace_back(k, v);
  if (reverse) std::reverse(out.begin(), out.end());
  return out;
}

class Workload {
 public:
  Workload(std::uint32_t page_size, std::uint64_t seed) : page_size_(page_size), rng_(seed) {}

  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  std::string bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint64_t r = rng_();
      std::memcpy(s.data() + i, &r, std::min<std::size_t>(8, n - i));
    }
    return s;
  }

  std::string key() {
    std::size_t limit = node::max_key_len(page_size_);
    switch (below(10)) {
      case 0:
        return "";
      case 1:
        return std::string("L") + format_text("{}", below(8)) + std::string(limit - 2, 'x');
      case 2:
        return bytes(below(40));
      case 3:
        return bytes(limit - below(3));
      case 4:
        // Past every key so far (an append, mostly), and later deleted,
        // replaced or looked up like any other.
        return format_text("z{}", 100000 + below(2) * appended_++);
      default:
        return format_text("key{}", below(500));
    }
  }

  std::string value() {
    std::size_t threshold = node::max_entry_bytes(page_size_);
    std::uint64_t pick = below(1000);
    if (pick < 650) return bytes(below(60));
    if (pick < 850) return bytes(threshold - 40 + below(60));
    if (pick < 990) return bytes(100 + below(3 * page_size_));
    if (big_values_ < 3) {
      ++big_values_;
      return bytes((1u << 20) + below(2u << 20));
    }
    return bytes(below(8));
  }

  KeyBound bound(const Model& model) {
    std::string k = model.empty() || below(3) == 0
                        ? key()
                        : std::next(model.begin(), below(model.size()))->first;
    switch (below(3)) {
      case 0:
        return KeyBound::unbounded();
      case 1:
        return KeyBound::included(bytes_view(k));
      default:
        return KeyBound::excluded(bytes_view(k));
    }
  }

 private:
  std::uint32_t page_size_;
  std::mt19937_64 rng_;
  int big_values_ = 0;
  std::uint64_t appended_ = 0;
};

class BtreeModelTest : public ::testing::TestWithParam<Config> {};

void expect_tree_matches(const ReadContext& cx, const TreeRoot& root, const Model& model,
                         Workload& w) {
  ASSERT_EQ(scan(cx, root, KeyBound::unbounded(), KeyBound::unbounded(), false),
            expected_range(model, KeyBound::unbounded(), KeyBound::unbounded(), false));
  for (int i = 0; i < 6; ++i) {
    KeyBound lower = w.bound(model);
    KeyBound upper = w.bound(model);
    bool reverse = w.below(2) == 0;
    ASSERT_EQ(scan(cx, root, lower, upper, reverse), expected_range(model, lower, upper, reverse))
        << "bounds " << static_cast<int>(lower.kind) << "/" << static_cast<int>(upper.kind)
        << (reverse ? " backward" : " forward");
  }
}

TEST_P(BtreeModelTest, tree_matches_map_across_commits_and_after_reopening) {
  const Config config = GetParam();
  testing::TempDir dir;
  std::string path = dir.file("tree.db");
  auto file = DbFile::open(path, DbFileMode::CreateNew);
  ASSERT_TRUE(file.has_value()) << file.error().to_string();
  testing::TreeFile pages(*file, config.page_size, protection_for(config));
  Workload w(config.page_size, config.page_size * 7 + static_cast<int>(config.layout));
  Model model;
  TreeRoot root;
  ChildPointer last_root;
  Model last_model;
  // The last third mostly deletes, so that nodes merge at every level and
  // the root collapses.
  const int commits = 30 * config.scale;
  const int shrink_from = 22 * config.scale;
  const int ops = 60 * config.scale;
  for (int c = 0; c < commits; ++c) {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int i = 0; i < ops; ++i) {
      std::uint64_t op = w.below(100);
      if (c >= shrink_from && op < 35) op = 60;
      std::string key = w.key();
      if (op < 45) {
        std::string value = w.value();
        auto added = btree::put(cx, root, bytes_view(key), bytes_view(value));
        ASSERT_TRUE(added.has_value()) << added.error().to_string();
        EXPECT_EQ(*added, !model.contains(key));
        model[key] = value;
      } else if (op < 55) {
        std::string value = w.value();
        auto added = btree::put(cx, root, bytes_view(key), bytes_view(value), PutMode::InsertOnly);
        ASSERT_TRUE(added.has_value());
        EXPECT_EQ(*added, !model.contains(key));
        model.emplace(key, value);
      } else if (op < 75) {
        if (!model.empty() && w.below(3) != 0)
          key = std::next(model.begin(), w.below(model.size()))->first;
        std::string seen;
        auto record = [&](ByteView v) {
          seen = to_string(v);
          return ok();
        };
        ValueVisitor stored = record;
        auto removed = btree::remove(cx, root, bytes_view(key), &stored);
        ASSERT_TRUE(removed.has_value()) << removed.error().to_string();
        ASSERT_EQ(*removed, model.contains(key));
        if (*removed) {
          EXPECT_EQ(seen, model[key]);
        }
        model.erase(key);
      } else if (op < 85) {
        if (!model.empty()) key = std::next(model.begin(), w.below(model.size()))->first;
        std::string fresh = w.value();
        bool change = w.below(4) != 0;
        auto outcome = btree::insert_entry(cx, root, bytes_view(key),
                                           [&](ByteView old, std::string& out) -> Result<bool> {
                                             EXPECT_EQ(to_string(old), model[key]);
                                             out = fresh;
                                             return change;
                                           });
        ASSERT_TRUE(outcome.has_value()) << outcome.error().to_string();
        if (!model.contains(key)) {
          EXPECT_EQ(*outcome, ModifyOutcome::NotFound);
        } else {
          EXPECT_EQ(*outcome, change ? ModifyOutcome::Changed : ModifyOutcome::Unchanged);
          if (change) model[key] = fresh;
        }
      } else if (op < 90) {
        // Set to a value, to the one stored or to none.
        if (!model.empty() && w.below(3) != 0)
          key = std::next(model.begin(), w.below(model.size()))->first;
        const auto held = model.find(key);
        std::optional<std::string> value;
        const std::uint64_t pick = w.below(3);
        if (pick == 0) value = w.value();
        if (pick == 1 && held != model.end()) value = held->second;
        std::string seen;
        auto record = [&](ByteView v) {
          seen = to_string(v);
          return ok();
        };
        ValueVisitor stored = record;
        std::optional<ByteView> set;
        if (value) set = bytes_view(*value);
        auto changed = btree::set_entry(cx, root, bytes_view(key), set, &stored);
        ASSERT_TRUE(changed.has_value()) << changed.error().to_string();
        const bool differs = held == model.end() ? value.has_value() : value != held->second;
        ASSERT_EQ(*changed, differs);
        if (held != model.end()) {
          EXPECT_EQ(seen, held->second);
        }
        if (value) {
          model[key] = *value;
        } else {
          model.erase(key);
        }
      } else if (op < 95) {
        std::string got;
        auto found = btree::get(cx.read(), root, bytes_view(key), [&](ByteView v) {
          got = to_string(v);
          return ok();
        });
        ASSERT_TRUE(found.has_value());
        ASSERT_EQ(*found, model.contains(key));
        if (*found) {
          EXPECT_EQ(got, model[key]);
        }
      } else {
        // Scans inside the transaction walk nodes held in memory.
        KeyBound lower = w.bound(model);
        KeyBound upper = w.bound(model);
        bool reverse = w.below(2) == 0;
        ASSERT_EQ(scan(cx.read(), root, lower, upper, reverse),
                  expected_range(model, lower, upper, reverse));
      }
      // Leaves written before the commit are loaded back by the changes
      // after, and their pages reused.
      if (config.early_every != 0 && i % config.early_every == config.early_every - 1) {
        Status early = btree::write_leaves(cx, root);
        ASSERT_TRUE(early.has_value()) << early.error().to_string();
      }
    }
    auto written = btree::write_tree(cx, root);
    ASSERT_TRUE(written.has_value()) << written.error().to_string();
    pages.commit();
    ReadContext rx{pages.source(), kTreeId};
    TreeCheckReport report = btree::check_tree(rx, *written);
    ASSERT_TRUE(report.ok()) << "commit " << c << ": " << report.problems.front();
    EXPECT_EQ(report.entries, model.size());
    std::vector<std::string> accounting = pages.account(report);
    ASSERT_TRUE(accounting.empty()) << accounting.front();
    ASSERT_NO_FATAL_FAILURE(expect_tree_matches(rx, root, model, w));
    // The commit before stays readable: nothing it uses was written over.
    if (last_root.page != 0) {
      ASSERT_EQ(scan(rx, TreeRoot::on_disk(last_root), KeyBound::unbounded(), KeyBound::unbounded(),
                     false),
                expected_range(last_model, KeyBound::unbounded(), KeyBound::unbounded(), false));
    }
    last_root = *written;
    last_model = model;
  }
  // Read the last commit back through a new descriptor and fresh state.
  auto reopened = DbFile::open(path, DbFileMode::ReadOnly);
  ASSERT_TRUE(reopened.has_value());
  testing::TreeFile fresh(*reopened, config.page_size, protection_for(config));
  ReadContext rx{fresh.source(), kTreeId};
  TreeCheckReport report = btree::check_tree(rx, last_root);
  ASSERT_TRUE(report.ok()) << report.problems.front();
  EXPECT_EQ(report.entries, model.size());
  ASSERT_NO_FATAL_FAILURE(expect_tree_matches(rx, TreeRoot::on_disk(last_root), model, w));
}

// Writes the tree and commits it, then checks the commit: the tree checker,
// the accounting of every page and a scan against the model.
TreeCheckReport commit_checked(testing::TreeFile& pages, const WriteContext& cx, TreeRoot& root,
                               const Model& model, const std::string& stage) {
  auto written = btree::write_tree(cx, root);
  EXPECT_TRUE(written.has_value()) << written.error().to_string();
  pages.commit();
  ReadContext rx{pages.source(), kTreeId};
  TreeCheckReport report = btree::check_tree(rx, root.disk());
  EXPECT_TRUE(report.ok()) << stage << ": " << report.problems.front();
  EXPECT_EQ(report.entries, model.size()) << stage;
  std::vector<std::string> accounting = pages.account(report);
  EXPECT_TRUE(accounting.empty()) << stage << ": " << accounting.front();
  EXPECT_EQ(scan(rx, root, KeyBound::unbounded(), KeyBound::unbounded(), false),
            expected_range(model, KeyBound::unbounded(), KeyBound::unbounded(), false))
      << stage;
  return report;
}

// Loads in key order (ascending or descending) over a few commits, then
// deletes in three patterns; the tree is checked after every commit. The
// load must leave its nodes nearly full: the node that each new key lands
// past the end (or before the start) of keeps what it has.
struct OrderedLoad {
  bool descending;
  const char* name;
};

class BtreeOrderedLoadTest : public ::testing::TestWithParam<std::tuple<Config, OrderedLoad>> {};

TEST_P(BtreeOrderedLoadTest, load_fills_nodes_and_deletes_after_it_keep_the_tree_sound) {
  const auto [config, order] = GetParam();
  testing::TempDir dir;
  auto file = DbFile::open(dir.file("tree.db"), DbFileMode::CreateNew);
  ASSERT_TRUE(file.has_value()) << file.error().to_string();
  testing::TreeFile pages(*file, config.page_size, protection_for(config));
  // Keys long enough for three levels at every page size.
  constexpr int kKeys = 4000;
  const std::string pad(config.page_size / 64, 'p');
  const std::string value(100, 'v');
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) keys.push_back(format_text("k{}", 10000 + i) + pad);
  std::vector<std::string> load_order = keys;
  if (order.descending) std::reverse(load_order.begin(), load_order.end());

  Model model;
  TreeRoot root;
  std::uint32_t height = 0;
  auto commit = [&](const WriteContext& cx, const char* stage) {
    TreeCheckReport report = commit_checked(pages, cx, root, model, stage);
    height = std::max(height, report.height);
    return report;
  };

  TreeCheckReport loaded;
  for (int part = 0; part < 4; ++part) {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int i = part * kKeys / 4; i < (part + 1) * kKeys / 4; ++i) {
      const std::string& key = load_order[i];
      ASSERT_TRUE(btree::put(cx, root, bytes_view(key), bytes_view(value)).value_or(false));
      model[key] = value;
    }
    loaded = commit(cx, "load");
  }
  EXPECT_EQ(height, 3u);
  std::size_t entry_bytes =
      node::leaf_entry_bytes(config.layout, config.page_size, keys.front().size(), value.size());
  double full_leaves = double(kKeys) * entry_bytes / node::capacity(config.page_size);
  EXPECT_LE(double(loaded.pages.size()), full_leaves * 1.1 + 3)
      << "leaves for " << kKeys << " entries of " << entry_bytes << " bytes";

  // Keys between the loaded ones split full nodes at their midpoints.
  {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int i = 0; i < kKeys; i += 7) {
      std::string key = load_order[i] + "m";
      ASSERT_TRUE(btree::put(cx, root, bytes_view(key), bytes_view(value)).value_or(false));
      model[key] = value;
    }
    commit(cx, "insert between");
  }

  // Every other key; a run from the middle; then the rest, in load order.
  const std::vector<std::function<bool(int)>> deletes{
      [](int i) { return i % 2 == 1; },
      [](int i) { return i >= kKeys / 4 && i < kKeys * 3 / 4; },
      [](int) { return true; },
  };
  for (const auto& chosen : deletes) {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int i = 0; i < kKeys; ++i) {
      const std::string& key = load_order[i];
      for (const std::string& k : {key, key + "m"}) {
        if (!chosen(i) || !model.contains(k)) continue;
        ASSERT_TRUE(btree::remove(cx, root, bytes_view(k)).value_or(false));
        model.erase(k);
      }
    }
    commit(cx, "delete");
  }
  EXPECT_TRUE(root.empty());
}

// Keys in random order over many commits, as a collection grows: an
// over-full leaf shares its entries with a neighbour before it splits, so
// the leaves stay well filled (a split alone leaves them about two thirds
// full on average). Checked after every commit against the map; then half
// of the keys are deleted at random in one transaction, which must leave
// the leaves fuller than the two fifths that removing alone would, and the
// rest put again with longer values.
struct RandomLoad {
  const char* name;
  std::size_t value_len;  // 0: lengths from a few bytes to a quarter of the room
};

class BtreeRandomLoadTest : public ::testing::TestWithParam<std::tuple<Config, RandomLoad>> {};

TEST_P(BtreeRandomLoadTest, random_inserts_over_many_commits_and_deleting_half_keep_leaves_full) {
  const auto [config, load] = GetParam();
  testing::TempDir dir;
  auto file = DbFile::open(dir.file("tree.db"), DbFileMode::CreateNew);
  ASSERT_TRUE(file.has_value()) << file.error().to_string();
  testing::TreeFile pages(*file, config.page_size, protection_for(config));
  std::mt19937_64 rng(config.page_size + load.value_len);
  const std::size_t room = node::capacity(config.page_size);
  auto value_of = [&](std::size_t bias) {
    std::size_t len = load.value_len != 0 ? load.value_len + bias
                                          : rng() % (node::max_entry_bytes(config.page_size) - 24);
    return std::string(len, char('a' + rng() % 26));
  };
  // About 60 leaves' worth of entries whatever the page size.
  const std::size_t per_entry = load.value_len != 0 ? load.value_len + 24 : room / 8;
  const int keys = int(60 * room / per_entry);
  constexpr int kCommits = 40;

  Model model;
  TreeRoot root;
  auto commit = [&](const WriteContext& cx, int c) {
    return commit_checked(pages, cx, root, model, format_text("commit {}", c));
  };

  auto leaf_bytes = [&] {
    std::size_t bytes = 0;
    for (const auto& [k, v] : model)
      bytes += node::leaf_entry_bytes(config.layout, config.page_size, k.size(), v.size());
    return bytes;
  };

  // The fill over the second half of the load, while the tree doubles:
  // leaves made at about the same time fill up and split at about the same
  // time, so the fill of one commit swings with the tree's growth.
  double used = 0;
  double taken = 0;
  for (int c = 0; c < kCommits; ++c) {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int i = 0; i < keys / kCommits; ++i) {
      std::string key = format_text("k{}", rng() % 100000000);
      std::string value = value_of(0);
      ASSERT_TRUE(btree::put(cx, root, bytes_view(key), bytes_view(value)).has_value());
      model[key] = value;
    }
    TreeCheckReport report = commit(cx, c);
    if (::testing::Test::HasFailure()) return;
    if (c < kCommits / 2) continue;
    used += double(leaf_bytes());
    taken += double(report.pages.size() * room);
  }
  // Split alone, leaves end about two thirds full on average (ln 2).
  EXPECT_GE(used / taken, 0.75) << "of the room of the tree's pages holds entries";

  // Half of the keys go at random in one transaction, which writes every
  // leaf it changes to a new page: leaves that fall under half of their
  // room merge with a neighbour they fit with, so the transaction writes
  // (and the file grows by) fewer pages than before. Removing half of
  // the entries alone would leave the leaves about two fifths full.
  std::vector<std::string> present;
  for (const auto& [k, v] : model) present.push_back(k);
  std::shuffle(present.begin(), present.end(), rng);
  {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (std::size_t i = 0; i < present.size(); i += 2) {
      ASSERT_TRUE(btree::remove(cx, root, bytes_view(present[i])).value_or(false));
      model.erase(present[i]);
    }
    TreeCheckReport report = commit(cx, kCommits);
    EXPECT_GE(double(leaf_bytes()), 0.55 * double(report.pages.size() * room))
        << model.size() << " entries in " << report.pages.size() << " pages";
  }
  // The rest take longer values: splits and shares among leaves that
  // shrank and merged.
  {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (const auto& [key, v] : Model(model)) {
      std::string value = value_of(8);
      ASSERT_TRUE(btree::put(cx, root, bytes_view(key), bytes_view(value)).has_value());
      model[key] = value;
    }
    commit(cx, kCommits + 1);
  }
}

// Settings of many entries at once against the same settings made one by
// one on a std::map: keys in order (those of one leaf set without a descent
// of their own), out of order and repeated; values inline, in overflow runs,
// the one held, or none. What the tree answered changed and the values it
// showed the visitor match the map's; a visitor that refuses stops the
// settings there, the refused one and those after it left undone. The tree
// is checked, accounted for and scanned after every commit.
class BtreeSettingsTest : public ::testing::TestWithParam<Config> {};

TEST_P(BtreeSettingsTest, settings_in_one_call_match_map_set_one_by_one) {
  const Config config = GetParam();
  testing::TempDir dir;
  auto file = DbFile::open(dir.file("tree.db"), DbFileMode::CreateNew);
  ASSERT_TRUE(file.has_value()) << file.error().to_string();
  testing::TreeFile pages(*file, config.page_size, protection_for(config));
  Workload w(config.page_size, config.page_size * 11 + static_cast<int>(config.layout));
  Model model;
  TreeRoot root;
  // Keys close together, so that a leaf holds many of a call's settings.
  auto pick_key = [&] {
    if (w.below(8) == 0) return w.key();
    return format_text("s{}", 100000 + w.below(config.page_size / 4));
  };
  for (int c = 0; c < 24; ++c) {
    WriteContext cx = pages.write_context(kTreeId, config.layout);
    for (int b = 0; b < 6; ++b) {
      const bool shrinking = c >= 16;
      std::vector<std::string> keys;
      const std::size_t n = 1 + w.below(std::min<std::uint32_t>(config.page_size / 16, 600));
      for (std::size_t i = 0; i < n; ++i) keys.push_back(pick_key());
      if (w.below(6) != 0) std::sort(keys.begin(), keys.end());
      std::vector<std::optional<std::string>> values;
      // A quiet call leaves every entry as it is but one at most, which may
      // lie anywhere in it.
      const bool quiet = w.below(4) == 0;
      for (const std::string& k : keys) {
        if (quiet) {
          const auto held = model.find(k);
          values.push_back(held == model.end() ? std::nullopt
                                               : std::optional<std::string>(held->second));
          continue;
        }
        const std::uint64_t pick = w.below(10);
        const auto held = model.find(k);
        if (pick < (shrinking ? 7u : 3u)) {
          values.emplace_back();
        } else if (pick < 5 && held != model.end()) {
          values.emplace_back(held->second);
        } else {
          values.emplace_back(w.below(20) == 0 ? w.value() : w.bytes(w.below(24)));
        }
      }
      if (quiet && w.below(2) == 0) values[w.below(n)] = w.bytes(1 + w.below(24));
      std::vector<btree::EntrySetting> settings;
      for (std::size_t i = 0; i < n; ++i) {
        settings.push_back({bytes_view(keys[i]), std::nullopt});
        if (values[i]) settings.back().value = bytes_view(*values[i]);
      }
      // Now and then the visitor refuses the value of a key held.
      const std::size_t refuse_at = w.below(5) == 0 ? w.below(n) : SIZE_MAX;
      std::size_t shown = 0;
      std::vector<std::pair<std::string, std::string>> seen;
      auto record = [&](ByteView k, ByteView v) -> Status {
        if (shown++ == refuse_at) return fail(Error::internal("refused"));
        seen.emplace_back(to_string(k), to_string(v));
        return ok();
      };
      const btree::SettingVisitor stored = record;
      auto changed = btree::set_entries(cx, root, settings, &stored);

      std::vector<std::pair<std::string, std::string>> expect_seen;
      bool expect_changed = false;
      bool refused = false;
      std::size_t expect_shown = 0;
      for (std::size_t i = 0; i < n && !refused; ++i) {
        const auto held = model.find(keys[i]);
        if (held != model.end()) {
          if (expect_shown++ == refuse_at) {
            refused = true;
            break;
          }
          expect_seen.emplace_back(held->first, held->second);
        }
        const bool differs =
            held == model.end() ? values[i].has_value() : values[i] != held->second;
        expect_changed = expect_changed || differs;
        if (values[i]) {
          model[keys[i]] = *values[i];
        } else if (held != model.end()) {
          model.erase(held);
        }
      }
      ASSERT_EQ(changed.has_value(), !refused) << "commit " << c << " batch " << b;
      if (changed) {
        EXPECT_EQ(*changed, expect_changed) << "commit " << c << " batch " << b;
      }
      ASSERT_EQ(seen, expect_seen) << "commit " << c << " batch " << b;
      if (config.early_every != 0 && b % 2 == 1) {
        Status early = btree::write_leaves(cx, root);
        ASSERT_TRUE(early.has_value()) << early.error().to_string();
      }
    }
    commit_checked(pages, cx, root, model, format_text("commit {}", c));
    ASSERT_FALSE(::testing::Test::HasFailure());
  }
}

INSTANTIATE_TEST_SUITE_P(AllPageSizes, BtreeSettingsTest,
                         ::testing::Values(Config{4096, LeafLayout::Fixed},
                                           Config{4096, LeafLayout::Varint},
                                           Config{16384, LeafLayout::Varint},
                                           Config{65536, LeafLayout::Fixed},
                                           Config{4096, LeafLayout::Varint, 0, 1, 2}),
                         config_name);

INSTANTIATE_TEST_SUITE_P(AllPageSizes, BtreeRandomLoadTest,
                         ::testing::Combine(::testing::Values(Config{4096, LeafLayout::Fixed},
                                                              Config{4096, LeafLayout::Varint},
                                                              Config{16384, LeafLayout::Varint},
                                                              Config{65536, LeafLayout::Fixed}),
                                            ::testing::Values(RandomLoad{"small_values", 100},
                                                              RandomLoad{"mixed_values", 0})),
                         [](const auto& info) {
                           return config_name({std::get<0>(info.param), info.index}) + "_" +
                                  std::get<1>(info.param).name;
                         });

INSTANTIATE_TEST_SUITE_P(AllPageSizes, BtreeOrderedLoadTest,
                         ::testing::Combine(::testing::Values(Config{4096, LeafLayout::Fixed},
                                                              Config{4096, LeafLayout::Varint},
                                                              Config{16384, LeafLayout::Varint},
                                                              Config{65536, LeafLayout::Fixed},
                                                              Config{65536, LeafLayout::Varint}),
                                            ::testing::Values(OrderedLoad{false, "ascending"},
                                                              OrderedLoad{true, "descending"})),
                         [](const auto& info) {
                           return config_name({std::get<0>(info.param), info.index}) + "_" +
                                  std::get<1>(info.param).name;
                         });

INSTANTIATE_TEST_SUITE_P(
    AllPageSizes, BtreeModelTest,
    ::testing::Values(Config{4096, LeafLayout::Fixed}, Config{4096, LeafLayout::Varint},
                      Config{8192, LeafLayout::Fixed}, Config{8192, LeafLayout::Varint},
                      Config{16384, LeafLayout::Fixed}, Config{16384, LeafLayout::Varint},
                      Config{32768, LeafLayout::Fixed}, Config{32768, LeafLayout::Varint},
                      Config{65536, LeafLayout::Fixed}, Config{65536, LeafLayout::Varint},
                      Config{4096, LeafLayout::Varint, 1}, Config{16384, LeafLayout::Fixed, 2},
                      Config{4096, LeafLayout::Varint, 0, 2, 7},
                      Config{16384, LeafLayout::Fixed, 0, 2, 25}),
    config_name);

// A longer sweep, run by hand: --gtest_also_run_disabled_tests
// --gtest_filter='DISABLED_LongSweep*'.
INSTANTIATE_TEST_SUITE_P(DISABLED_LongSweep, BtreeModelTest,
                         ::testing::Values(Config{4096, LeafLayout::Varint, 0, 6},
                                           Config{4096, LeafLayout::Fixed, 0, 6},
                                           Config{65536, LeafLayout::Varint, 0, 6}),
                         config_name);

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
