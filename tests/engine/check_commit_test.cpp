// The complete check of a published commit: a sound file of every kind
// passes with exact counts and is left unchanged, and each kind of damage,
// crafted one at a time, is reported as exactly its own problems.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>

#include "btree/walk.hpp"
#include "database.hpp"
#include "format/bytes.hpp"
#include "format/object/names.hpp"
#include "schema/stage.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/declared_builders.hpp"
#include "support/object_db.hpp"
#include "support/temp_dir.hpp"
#include "text_format.hpp"
#include "tools/check.hpp"
#include "txn/free_space.hpp"

namespace deziro {

void PrintTo(const Problem& p, std::ostream* os) {
  *os << "(" << (p.page ? std::to_string(*p.page) : "-") << ", " << p.tree.value_or("-") << ", "
      << p.message << ")";
}

namespace DZ_FILE_LOCAL {

using test::required;
using Change = std::function<void(std::span<std::uint8_t>)>;

constexpr std::string_view kPath = "/mem/check.db";
constexpr int kObjects = 300;

struct FileKind {
  const char* name;
  NewFileCipher cipher;  // Automatic here: a plain file
  bool format5;
  bool with_schema;
};

// A memory file with the trees "pairs" and "pairs2" (branch roots) and
// "big" (an overflow run), written directly, and with a schema the
// collection "items": auto keys, a unique index (1) and a plain one (2),
// one object long enough for an overflow run. Several commits leave free
// and retained pages.
struct CheckDb {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> resolved;

  explicit CheckDb(const FileKind& kind) {
    OpenOptions options;
    options.upgrade_format = !kind.format5;
    if (kind.cipher != NewFileCipher::Automatic) {
      std::array<std::uint8_t, 32> key;
      key.fill(7);
      options.credential = Credential::key(std::span<const std::uint8_t, 32>(key));
      options.new_file_cipher = kind.cipher;
    }
    if (kind.with_schema)
      options.schema = std::make_shared<const DeclaredSchema>(test::declared(
          1, {test::auto_collection(
                 "items",
                 {required("name", DeclaredKind::str()), required("group", DeclaredKind::integer()),
                  required("blob", DeclaredKind::bytes())},
                 {{"name", true}, {"group", false}})}));
    auto owned = std::make_unique<FaultStorage>(std::string(kPath),
                                                *Database::new_first_page(options, kPath));
    storage = owned.get();
    instance = Database::open_existing(std::move(owned), options).value();
    if (kind.with_schema) resolved = schema::run_schema_stage(instance, options).value().resolved;
    for (int part = 0; part < 7; ++part) {
      write([&](WriteTxn& txn) {
        for (int i = part * kObjects / 3; i < (part + 1) * kObjects / 3 && i < kObjects; ++i) {
          std::string key = format_text("p{}", 10000 + i), value(40, 'v');
          ASSERT_TRUE(txn.put(bytes_of("pairs"), bytes_of(key), bytes_of(value)));
          ASSERT_TRUE(txn.put(bytes_of("pairs2"), bytes_of(key), bytes_of(value)));
          if (!kind.with_schema) continue;
          auto object = ObjectMap::from_entries(
              {{"name", Value::string(format_text("n{}", i))},
               {"group", Value::integer(i % 7)},
               {"blob", Value::bytes(std::string(i == 0 ? 20000 : 10, 'x'))}});
          ASSERT_TRUE(objects::write_object_map(txn, test::collection(txn, "items"), object,
                                                WriteMode::Insert));
        }
        ASSERT_TRUE(txn.put(bytes_of("big"), bytes_of("v"), bytes_of(std::string(9000, 'b'))));
      });
    }
  }

  void write(const std::function<void(WriteTxn&)>& change) {
    auto txn = WriteTxn::begin(instance, resolved).value();
    change(*txn);
    ASSERT_TRUE(txn->commit());
  }

  CheckReport check() {
    auto report = tools::check_commit(instance, resolved);
    EXPECT_TRUE(report) << report.error().to_string();
    return report ? std::move(*report) : CheckReport{};
  }

  CommitRecord record() const { return instance->published().record; }

  NodeView node(std::uint64_t tree_id, const ChildPointer& pointer) {
    return instance->reader().fetch_node(pointer, tree_id, std::nullopt).value();
  }

  TreeDescriptor descriptor(std::string_view tree) {
    ReadTxn txn = Instance::begin_read(instance).value();
    return *txn.descriptor(bytes_of(tree)).value();
  }

  // Child `i` of a named tree's root.
  ChildPointer child(std::string_view tree, std::size_t i) {
    TreeDescriptor d = descriptor(tree);
    return node(d.tree_id, d.root).child_at(i);
  }

  // The runs of the free tree (id 2) or the retained tree (id 3).
  std::map<std::uint64_t, std::uint64_t> runs(std::uint64_t tree_id) {
    std::map<std::uint64_t, std::uint64_t> out;
    auto visit = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
      auto runs = tree_id == kFreeTreeId
                      ? std::vector{free_space::decode_free(instance->reader(), key, value).value()}
                      : free_space::decode_retained(instance->reader(), key, value).value();
      for (auto run : runs) out[run.first] = run.count;
      return VisitAnswer::Continue;
    };
    const CommitRecord r = record();
    EXPECT_TRUE(read::scan_forward(
        {instance->reader(), tree_id},
        TreeRoot::on_disk(tree_id == kFreeTreeId ? r.free_tree : r.retained_tree),
        KeyBound::unbounded(), KeyBound::unbounded(), visit));
    return out;
  }

  // Rewrites a page of the published commit through `change` and seals it
  // again. With `repoint`, the new stamp is carried up through whatever
  // points to the page (a branch, a catalog entry, up to the commit's roots),
  // so that the commit shows exactly the damage `change` made; without, the
  // parent keeps the old stamp.
  void reseal_page(std::uint64_t page, const Change& change, bool repoint = true) {
    const std::uint32_t page_size = instance->page_size();
    const PageProtection& protection = instance->reader().protection();
    std::vector<std::uint8_t> bytes(page_size);
    ASSERT_TRUE(storage->read_at(page * page_size, bytes));
    const std::optional<PageStamp> old = protection.open_page(page, bytes);
    ASSERT_TRUE(old);
    change(bytes);
    const PageStamp stamp = protection.seal_page(page, bytes).value();
    ASSERT_TRUE(storage->write_at(page * page_size, bytes));
    instance->reader().pager().cache().clear();  // it keeps nodes by page and stamp
    if (!repoint) return;
    PublishedCommit published = instance->published();
    CommitRecord& r = published.record;
    for (ChildPointer* root : {&r.catalog, &r.free_tree, &r.retained_tree}) {
      if (root->page == page && root->stamp == *old) {
        root->stamp = stamp;
        return instance->set_published(published);
      }
    }
    HolderSearch search(page, *old);
    search.trees = {{kFreeTreeId, r.free_tree}, {kRetainedTreeId, r.retained_tree}};
    btree::walk_tree({instance->reader(), kCatalogTreeId}, r.catalog, search);
    for (auto& [tree_id, root] : search.trees)
      btree::walk_tree({instance->reader(), tree_id}, root, search);
    ASSERT_TRUE(search.holder) << "nothing points to page " << page;
    auto [holder, offset] = *search.holder;
    reseal_page(holder, [&](std::span<std::uint8_t> p) { stamp.store(p.data() + offset); });
  }

  // Finds where a page's stamp is kept: a branch's child pointer or the root
  // of a catalog entry (page and offset). Collects the trees to search next.
  struct HolderSearch final : btree::NodeVisitor {
    HolderSearch(std::uint64_t page, const PageStamp& stamp) : page(page), stamp(stamp) {}
    std::uint64_t page;
    PageStamp stamp;
    std::optional<std::pair<std::uint64_t, std::size_t>> holder;
    std::vector<std::pair<std::uint64_t, ChildPointer>> trees;

    bool enter(const btree::WalkFrame&) override { return !holder; }
    void unreadable(const btree::WalkFrame&, const Error&) override {}
    void visit(const btree::WalkFrame& frame, const NodeView& node) override {
      const bool catalog = node.tree_id() == kCatalogTreeId && node.is_leaf();
      for (std::size_t i = 0; i < (catalog ? node.count() : node.child_count()); ++i) {
        const std::uint8_t* at =
            catalog ? node.cell_at(i).value.data() + 8 : node.page() + kPageContentOffset + 32 * i;
        const ChildPointer pointer = ChildPointer::load(at);
        if (catalog) trees.emplace_back(load_u64_le(at - 8), pointer);
        if (pointer.page == page && pointer.stamp == stamp)
          holder.emplace(frame.pointer.page, at + 16 - node.page());
      }
    }
  };

  // Sets the u64 at byte `at` of the value under `key` in a tree of one
  // leaf (the catalog, the free tree here).
  void set_value_u64(const ChildPointer& root, std::uint64_t tree_id, ByteView key, std::size_t at,
                     std::uint64_t x) {
    NodeView leaf = node(tree_id, root);
    const std::size_t offset = leaf.cell_at(leaf.lower_bound(key)).value.data() + at - leaf.page();
    reseal_page(root.page, [&](std::span<std::uint8_t> p) { store_u64_le(p.data() + offset, x); });
  }
  void set_free_run(std::uint64_t first, std::uint64_t length) {
    set_value_u64(record().free_tree, kFreeTreeId, free_space::free_key(first), 0, length);
  }
};

class SoundFile : public ::testing::TestWithParam<FileKind> {};

TEST_P(SoundFile, passes_with_exact_counts_and_is_left_unchanged) {
  CheckDb db(GetParam());
  std::uint64_t spare = 0;  // free and retained pages
  for (std::uint64_t tree_id : {kFreeTreeId, kRetainedTreeId})
    for (auto [first, count] : db.runs(tree_id)) spare += count;
  const std::vector<std::uint8_t> before = db.storage->current_image();

  CheckReport report = db.check();

  EXPECT_TRUE(report.ok()) << report.problems.front().message;
  EXPECT_EQ(report.commit_id, db.record().txn_id);
  EXPECT_EQ(report.page_count, db.record().page_count);
  // Every other page but the head is a tree's, and only those are read.
  EXPECT_EQ(report.pages_checked, db.record().page_count - 1 - spare);
  EXPECT_EQ(report.objects_checked, GetParam().with_schema ? kObjects : 0);
  EXPECT_EQ(db.storage->current_image(), before);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, SoundFile,
    ::testing::Values(FileKind{"plain", NewFileCipher::Automatic, false, true},
                      FileKind{"plain_without_schema", NewFileCipher::Automatic, false, false},
                      FileKind{"xchacha", NewFileCipher::XChaCha20Poly1305, false, true},
                      FileKind{"xaes", NewFileCipher::Xaes256Gcm, false, true},
                      FileKind{"format5", NewFileCipher::Automatic, true, true},
                      FileKind{"format5_xaes_without_schema", NewFileCipher::Xaes256Gcm, true,
                               false}),
    [](const auto& info) { return std::string(info.param.name); });

using Expected = std::vector<Problem>;
const std::optional<std::uint64_t> kNoPage;
const std::string kItems = "items";

std::string index_count(int index, int held, int given) {
  return format_text("index {} holds {} entries where its objects give {}", index, held, given);
}

Problem unreached(std::uint64_t pages) {
  return {kNoPage, std::nullopt,
          format_text("{} pages were not reached, some of them below pages that could not be read",
                      pages)};
}

// One kind of damage: makes it and answers the problems it must give.
struct Damage {
  const char* name;
  std::function<Expected(CheckDb&)> make;
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

const Damage kDamages[] = {
    {"shared_child",
     [](CheckDb& db) {
       // A branch of "pairs2" points to a leaf of "pairs", walked before.
       const ChildPointer shared = db.child("pairs", 0);
       db.reseal_page(db.descriptor("pairs2").root.page, [&](std::span<std::uint8_t> p) {
         shared.store(p.data() + kPageContentOffset + 32);
       });
       return Expected{{shared.page, "pairs2", "is used twice"}, unreached(1)};
     }},
    {"pointers_outside_the_file",
     [](CheckDb& db) {
       const std::uint64_t pages = db.record().page_count;
       db.reseal_page(db.descriptor("pairs").root.page, [&](std::span<std::uint8_t> p) {
         store_u64_le(p.data() + kPageContentOffset, 0);
         store_u64_le(p.data() + kPageContentOffset + 32, pages + 5);
       });
       // The last child is walked first.
       const std::string outside = format_text("lies outside the {} pages of the file", pages);
       return Expected{{pages + 5, "pairs", outside}, {0, "pairs", outside}, unreached(2)};
     }},
    {"stamp_mismatch",
     [](CheckDb& db) {
       const std::uint64_t leaf = db.child("pairs", 1).page;
       db.reseal_page(
           leaf, [](std::span<std::uint8_t> p) { p[p.size() - 17] ^= 1; }, false);
       // The page is marked before it is read, so nothing goes unreached.
       const std::string text = format_text("page {}: its stamp differs from its parent's", leaf);
       return Expected{{leaf, "pairs", Error::corrupted(std::string(kPath), text).to_string()}};
     }},
    {"damaged_overflow_page",
     [](CheckDb& db) {
       const TreeDescriptor big = db.descriptor("big");
       const std::uint64_t page = db.node(big.tree_id, big.root).cell_at(0).ref.first_page + 1;
       // Every bit of one byte inverted, not sealed again: the page fails its
       // check. (Writing a fixed byte would leave one sealed page in 256 as
       // it was, its bytes being random.)
       const std::uint64_t at = page * db.instance->page_size() + 100;
       std::uint8_t byte = 0;
       EXPECT_EQ(db.storage->read_at(at, {&byte, 1}).value_or(0), 1u);
       byte = static_cast<std::uint8_t>(~byte);
       EXPECT_TRUE(db.storage->write_at(at, {&byte, 1}));
       // The run fails as a whole; the page that fails alone is named.
       const std::string text = format_text("page {} fails its check", page);
       return Expected{{page, "big", Error::corrupted(std::string(kPath), text).to_string()}};
     }},
    {"key_outside_its_bounds",
     [](CheckDb& db) {
       const ChildPointer leaf = db.child("pairs", 1);
       const NodeView view = db.node(db.descriptor("pairs").tree_id, leaf);
       const std::size_t key = view.key_at(0).data() - view.page();
       db.reseal_page(leaf.page, [&](std::span<std::uint8_t> p) { p[key] = 'a'; });
       return Expected{{leaf.page, "pairs", "holds a key outside the separators on its path"}};
     }},
    {"entry_count_unlike_its_descriptor",
     [](CheckDb& db) {
       db.set_value_u64(db.record().catalog, kCatalogTreeId, bytes_of("pairs"), 40, kObjects + 1);
       return Expected{{kNoPage, "pairs",
                        format_text("holds {} entries where its descriptor counts {}", kObjects,
                                    kObjects + 1)}};
     }},
    {"free_run_over_a_used_page",
     [](CheckDb& db) {
       const auto [first, count] = *db.runs(kFreeTreeId).begin();
       db.set_free_run(first, count + 1);
       return Expected{{first + count, "the free pages", "is used twice"}};
     }},
    {"leaked_run",
     [](CheckDb& db) {
       auto runs = db.runs(kFreeTreeId);
       const auto [first, count] = *std::max_element(
           runs.begin(), runs.end(), [](auto& a, auto& b) { return a.second < b.second; });
       EXPECT_GE(count, 3u);
       db.set_free_run(first, 1);
       return Expected{{first + 1, std::nullopt,
                        format_text("and the {} pages after it are neither used, free nor "
                                    "retained: they leaked",
                                    count - 2)}};
     }},
    {"missing_index_entry",
     [](CheckDb& db) {
       db.write([](WriteTxn& txn) {
         const auto tree = names::index_tree_name(2);
         ASSERT_TRUE(txn.del(tree.bytes(), test::tree_entries(txn, tree.bytes())[0].first));
       });
       return Expected{{kNoPage, kItems, "index 2 lacks an entry one of its objects gives it"},
                       {kNoPage, kItems, index_count(2, kObjects - 1, kObjects)}};
     }},
    {"extra_index_entry",
     [](CheckDb& db) {
       db.write([](WriteTxn& txn) {
         ASSERT_TRUE(txn.put(names::index_tree_name(1).bytes(), bytes_of("extra"), {}));
       });
       return Expected{{kNoPage, kItems, index_count(1, kObjects + 1, kObjects)}};
     }},
    {"counter_behind_the_largest_key",
     [](CheckDb& db) {
       db.write([](WriteTxn& txn) {
         std::array<std::uint8_t, 8> counter;
         store_u64_le(counter.data(), kObjects);
         ASSERT_TRUE(txn.put(bytes_of(names::kMetaTree), names::counter_key(1).bytes(), counter));
       });
       return Expected{{kNoPage, kItems,
                        format_text("its auto-increment counter, {}, would give a key already used",
                                    kObjects)}};
     }},
    {"schema_of_another_format",
     [](CheckDb& db) {
       db.write([](WriteTxn& txn) {
         // One field: 1, the format, holding the int 2.
         const std::uint8_t record[] = {1, 1, 4, 4};
         ASSERT_TRUE(txn.put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), record));
       });
       // No collection is tested; the engine tree keeps its leading NUL.
       return Expected{{kNoPage, std::string(names::kMetaTree),
                        "its schema: it is in an object format this build does not read"}};
     }},
    {"undecodable_record",
     [](CheckDb& db) {
       db.write([](WriteTxn& txn) {
         std::vector<std::uint8_t> key;
         ASSERT_TRUE(key::encode_value(Value::integer(5), key));
         // A field count with no fields after it.
         ASSERT_TRUE(txn.put(names::record_tree_name(1).bytes(), key, bytes_of("\x05")));
       });
       // It gives its indexes nothing, so both count one entry too many.
       return Expected{{kNoPage, kItems, "an object's record: a record counts more than it holds"},
                       {kNoPage, kItems, index_count(1, kObjects, kObjects - 1)},
                       {kNoPage, kItems, index_count(2, kObjects, kObjects - 1)}};
     }},
};

class DamagedFile : public ::testing::TestWithParam<std::tuple<Damage, NewFileCipher>> {};

TEST_P(DamagedFile, gives_exactly_its_problems) {
  auto [damage, cipher] = GetParam();
  CheckDb db(FileKind{"", cipher, false, true});
  ASSERT_TRUE(db.check().ok());
  const Expected expected = damage.make(db);
  const std::vector<std::uint8_t> before = db.storage->current_image();
  EXPECT_EQ(db.check().problems, expected);
  EXPECT_EQ(db.storage->current_image(), before);
}

INSTANTIATE_TEST_SUITE_P(OneKindEach, DamagedFile,
                         ::testing::Combine(::testing::ValuesIn(kDamages),
                                            ::testing::Values(NewFileCipher::Automatic,
                                                              NewFileCipher::Xaes256Gcm)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == NewFileCipher::Automatic ? "_plain"
                                                                                       : "_sealed");
                         });

// Catalog entries that give two trees one id, or an id the commit has not
// handed out (made through the write transaction's catalog): the pages of
// such trees pass for each other's, and the next tree made would take an id
// in use. Each is reported once, and the trees are still walked, so that
// nothing else is reported.
TEST(CheckCatalog, tree_ids_named_twice_or_not_handed_out_are_reported) {
  testing::TempDir dir;
  auto db = Database::open(dir.file("c.db"), OpenOptions{}).value().instance;
  auto put = [](WriteTxn& txn, std::string_view tree) {
    ASSERT_TRUE(txn.put(bytes_of(tree), bytes_of("k"), bytes_of("v")));
  };
  std::uint64_t twice = 0;
  {
    auto txn = WriteTxn::begin(db).value();
    put(*txn, "a");
    ASSERT_TRUE(txn->commit());
  }
  {
    auto txn = WriteTxn::begin(db).value();
    twice = txn->tree_entry(bytes_of("a"), false).value()->tree_id;
    txn->tree_entry(bytes_of("b"), true).value()->tree_id = twice;
    put(*txn, "b");
    txn->tree_entry(bytes_of("c"), true).value()->tree_id = 5000;
    put(*txn, "c");
    ASSERT_TRUE(txn->commit());
  }
  ASSERT_LT(db->published().record.next_tree_id, 5000u);
  auto report = tools::check_commit(db);
  ASSERT_TRUE(report) << report.error().to_string();
  const std::string catalog = "the catalog";
  EXPECT_EQ(report->problems,
            (std::vector<Problem>{
                {std::nullopt, catalog, format_text("two catalog entries name tree id {}", twice)},
                {std::nullopt, catalog,
                 "a catalog entry names tree id 5000, which the commit has not handed out"}}));
}

// A memory file that runs `hook`, once, at the first read of its length
// after it is set, before the read: what another writer does between the
// check's snapshot and its reading of the file's length.
class HookedLength final : public testing::BorrowedStorage {
 public:
  using BorrowedStorage::BorrowedStorage;
  std::function<void()> hook;
  Result<std::uint64_t> len_or_error() override {
    if (auto run = std::exchange(hook, nullptr)) run();
    return BorrowedStorage::len_or_error();
  }
};

// A file whose published commit, the one checked, has its trees in its
// first pages and free and retained pages after them, which later commits
// free and cut off: a large tree was dropped, its pages freed three commits
// on, and the small commits since gave up pages at the end of the file.
struct CutDb {
  FaultStorage storage{std::string(kPath), *Database::new_first_page({}, kPath)};
  HookedLength* hooked = nullptr;
  std::shared_ptr<Instance> instance;
  std::uint64_t checked = 0;
  std::uint64_t page_count = 0;

  CutDb() {
    auto owned = std::make_unique<HookedLength>(storage);
    hooked = owned.get();
    instance = Database::open_existing(std::move(owned), {}).value();
    write([](WriteTxn& txn) {
      for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(txn.put(bytes_of("large"), bytes_of(format_text("k{}", 10000 + i)),
                            bytes_of(std::string(100, 'v'))));
    });
    write([](WriteTxn& txn) { ASSERT_TRUE(txn.drop_tree(bytes_of("large"))); });
    for (int i = 0; i < 4; ++i) small_commit(i);
    checked = instance->published().record.txn_id;
    page_count = instance->published().record.page_count;
  }

  void write(const std::function<void(WriteTxn&)>& change) {
    auto txn = WriteTxn::begin(instance).value();
    change(*txn);
    ASSERT_TRUE(txn->commit());
  }
  void small_commit(int i) {
    write([&](WriteTxn& txn) {
      ASSERT_TRUE(txn.put(bytes_of("keep"), bytes_of(format_text("k{}", i)), bytes_of("v")));
    });
  }
  std::uint64_t pages_held() const {
    return deziro::pages_held(storage.current_image().size(), instance->page_size());
  }
  // Durable commits after the one checked, until one of them has freed
  // pages at its end and cut them off the file (three at most).
  void cut_by_later_commits() {
    for (int i = 0; i < 3 && pages_held() >= page_count; ++i) small_commit(10 + i);
    ASSERT_LT(pages_held(), page_count) << "no commit cut the file";
  }
};

// A durable commit between the check's snapshot and its reading of the
// length frees retained pages at the end of the commit checked, which its
// snapshot does not keep, and cuts them off with the free pages before
// them: the commit is still sound.
TEST(CheckCut, by_a_later_commit_beside_the_check_is_no_damage) {
  CutDb db;
  db.hooked->hook = [&] { db.cut_by_later_commits(); };
  auto report = tools::check_commit(db.instance);
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->commit_id, db.checked);
  EXPECT_EQ(report->page_count, db.page_count);
  EXPECT_LT(db.pages_held(), db.page_count);
  EXPECT_EQ(report->problems, Expected{});
}

// The same cut with the commit checked still published is damage: no
// commit can have made it.
TEST(CheckCut, of_the_published_commit_is_reported) {
  std::uint64_t held = 0;
  {
    CutDb later;
    later.cut_by_later_commits();
    held = later.pages_held();
  }
  CutDb db;
  ASSERT_TRUE(db.storage.set_len(held * db.instance->page_size()));
  auto report = tools::check_commit(db.instance);
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->commit_id, db.checked);
  ASSERT_FALSE(report->problems.empty());
  EXPECT_EQ(report->problems.front(),
            (Problem{kNoPage, std::nullopt,
                     format_text("the commit counts {} pages, and the file holds {}", db.page_count,
                                 held)}));
  const std::string outside = "lies outside the file";
  EXPECT_TRUE(std::ranges::any_of(report->problems, [&](const Problem& p) {
    return p.tree == "the retained pages" && p.message.ends_with(outside);
  }));
}

// A later commit published does not excuse a tree's page past the end: the
// snapshot keeps those, so only something else can have cut them.
TEST(CheckCut, below_a_tree_page_is_reported_whatever_commit_is_published) {
  CutDb db;
  db.hooked->hook = [&] {
    db.cut_by_later_commits();
    ASSERT_TRUE(db.storage.set_len(2 * db.instance->page_size()));
  };
  auto report = tools::check_commit(db.instance);
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->commit_id, db.checked);
  const std::string outside = "lies outside the 2 pages of the file";
  EXPECT_TRUE(std::ranges::any_of(report->problems, [&](const Problem& p) {
    return p.page && *p.page >= 2 && p.message == outside;
  }));
  for (const Problem& p : report->problems)
    EXPECT_FALSE(p.message.starts_with("the commit counts"));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
