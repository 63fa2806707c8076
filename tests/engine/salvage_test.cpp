// Salvage of damaged files: a corpus built by one helper, each file damaged
// one way, rescued into a new file that holds what could be read and checks
// sound; the source's bytes never change. Also: a crafted tree whose pages
// share their children is walked in linear time, and refused salvages
// leave nothing behind.
#include "tools/salvage.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "btree/pager/page_reader.hpp"
#include "database.hpp"
#include "format/bytes.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/record.hpp"
#include "schema/objects.hpp"
#include "storage/db_file.hpp"
#include "support/declared_builders.hpp"
#include "support/object_db.hpp"
#include "support/temp_dir.hpp"
#include "text_format.hpp"
#include "tools/check.hpp"
#include "tools/tree_list.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

namespace stdfs = std::filesystem;
using Trees = std::map<std::string, std::map<std::string, std::string>>;
using test::required;

constexpr int kItems = 40;
constexpr int kPairs = 300;
const std::string kMeta(names::kMetaTree);

Credential file_key(std::uint8_t seed) {
  std::array<std::uint8_t, 32> raw;
  raw.fill(seed);
  return Credential::key(std::span<const std::uint8_t, 32>(raw));
}

OpenOptions opening(Credential credential = {}) {
  OpenOptions options;
  options.credential = std::move(credential);
  options.busy_timeout = std::chrono::milliseconds(200);
  return options;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(std::streamoff(offset));
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Every tree of a file's published commit, entry by entry.
Trees contents(const std::string& path, Credential credential = {}) {
  auto opened = Database::open(path, opening(std::move(credential)));
  EXPECT_TRUE(opened) << opened.error().to_string();
  if (!opened) return {};
  ReadTxn txn = Instance::begin_read(opened->instance).value();
  Trees trees;
  const auto names = repack::list_trees(txn.source(), txn.catalog_root()).value();
  for (const std::string& name : names) {
    auto& tree = trees[name];
    auto cursor =
        txn.range(bytes_of(name), KeyBound::unbounded(), KeyBound::unbounded(), false).value();
    ByteView key, value;
    while (cursor && cursor->next(key, value).value()) tree[to_string(key)] = to_string(value);
  }
  return trees;
}

// Checks the file completely; returns it open.
std::shared_ptr<Instance> expect_sound(const std::string& path, Credential credential = {}) {
  auto opened = Database::open(path, opening(std::move(credential))).value();
  const CheckReport report = tools::check_commit(opened.instance).value();
  for (const Problem& p : report.problems) ADD_FAILURE() << p.message;
  return opened.instance;
}

// Changes a catalog entry's name and value.
using CatalogChange = std::function<void(std::string& name, std::string& value)>;

// A database file as the corpus starts from: the collection "items" (auto
// keys, a unique and a plain index), the tree "pairs" (a branch root over
// many leaves), "big" (one value in an overflow run). A second commit
// deletes one pair and changes another, so older leaves stay in the file.
struct Source {
  std::string path;
  std::uint32_t page_size;
  Trees model;        // what the intact file holds
  Trees older_model;  // what it held before its last commit
  FileId file_id;

  Source(const std::string& dir, std::uint32_t page_size_, Credential credential)
      : path(dir + "/source.db"), page_size(page_size_) {
    OpenOptions options = opening(credential);
    options.page_size = page_size;
    options.password_hashing = {64, 1, 1};
    options.schema = std::make_shared<const DeclaredSchema>(test::declared(
        1, {test::auto_collection(
               "items",
               {required("name", DeclaredKind::str()), required("group", DeclaredKind::integer())},
               {{"name", true}, {"group", false}})}));
    {
      auto opened = Database::open(path, options).value();
      auto txn = WriteTxn::begin(opened.instance, opened.resolved).value();
      for (int i = 0; i < kItems; ++i) {
        auto object = ObjectMap::from_entries(
            {{"name", Value::string(format_text("n{}", i))}, {"group", Value::integer(i % 3)}});
        EXPECT_TRUE(objects::write_object_map(*txn, test::collection(*txn, "items"), object,
                                              WriteMode::Insert));
      }
      for (int i = 0; i < kPairs; ++i)
        EXPECT_TRUE(txn->put(bytes_of("pairs"), bytes_of(pair_key(i)), bytes_of("v1")));
      EXPECT_TRUE(txn->put(bytes_of("big"), bytes_of("value"), bytes_of(std::string(9000, 'b'))));
      EXPECT_TRUE(txn->commit());
    }
    older_model = contents(path, credential);
    {
      auto opened = Database::open(path, options).value();
      auto txn = WriteTxn::begin(opened.instance, opened.resolved).value();
      EXPECT_TRUE(txn->del(bytes_of("pairs"), bytes_of(pair_key(150))));
      EXPECT_TRUE(txn->put(bytes_of("pairs"), bytes_of(pair_key(100)), bytes_of("v2")));
      EXPECT_TRUE(txn->commit());
    }
    file_id = Database::open(path, opening(credential)).value().instance->file_id();
    model = contents(path, std::move(credential));
  }

  static std::string pair_key(int i) { return format_text("pair{}", 1000 + i); }

  std::uint64_t pages() const { return stdfs::file_size(path) / page_size; }

  TreeDescriptor descriptor(const std::string& tree, Credential credential = {}) {
    auto opened = Database::open(path, opening(std::move(credential))).value();
    ReadTxn txn = Instance::begin_read(opened.instance).value();
    return *txn.descriptor(bytes_of(tree)).value();
  }

  // The first overflow page of the tree's only value.
  std::uint64_t overflow_page(const std::string& tree) {
    const TreeDescriptor d = descriptor(tree);
    auto opened = Database::open(path, opening()).value();
    NodeView leaf = opened.instance->reader().fetch_node(d.root, d.tree_id, std::nullopt).value();
    return leaf.cell_at(0).ref.first_page;
  }

  // Commits `change`, then breaks the record of that commit, so that the
  // commit before it is the newest usable one.
  void commit_unrecorded(const std::function<void(WriteTxn&)>& change) {
    {
      auto opened = Database::open(path, opening()).value();
      auto txn = WriteTxn::begin(opened.instance).value();
      change(*txn);
      EXPECT_TRUE(txn->commit());
    }
    const std::string head = file_bytes(path);
    std::uint64_t newest = 0, newest_slot = 0;
    for (std::uint64_t slot = 0; slot < 3; ++slot) {
      auto content = record::parse_commit_record(
          slot,
          std::span(reinterpret_cast<const std::uint8_t*>(head.data()) + 512 + 512 * slot, 512),
          PageCipher::Checksum, kMinPageSize);
      if (content.valid() && content.record.txn_id > newest) {
        newest = content.record.txn_id;
        newest_slot = slot;
      }
    }
    write_bytes(path, 512 + 512 * newest_slot + 20, "\x77\x77");
  }

  // Spoils one byte in the middle of a page, so it fails its check.
  void spoil_page(std::uint64_t page) {
    write_bytes(path, page * page_size + page_size / 2,
                std::string(1, char(file_bytes(path)[page * page_size + page_size / 2] ^ 0x5A)));
  }

  // Spoils every page a plain file marks as the tree's, older copies too.
  void spoil_tree(const std::string& tree) {
    const std::uint64_t tree_id = descriptor(tree).tree_id;
    const std::string bytes = file_bytes(path);
    for (std::uint64_t page = 1; page < pages(); ++page)
      if (load_u64_le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + page * page_size +
                      kPageTreeIdOffset) == tree_id)
        spoil_page(page);
  }

  // The slot the selector byte names.
  std::uint64_t published_slot() const { return std::uint8_t(file_bytes(path)[64]) & 3; }

  // Flips the bits of one byte of the record `after` slots past the
  // published one (0: the published commit's record).
  void flip_record(std::uint64_t offset, std::uint64_t after = 0) {
    const std::uint64_t at = 512 + 512 * ((published_slot() + after) % 3) + offset;
    write_bytes(path, at, std::string(1, char(file_bytes(path)[at] ^ 0x5A)));
  }

  // Rewrites the catalog entry `name` of the published commit (the catalog
  // of this small plain file is one leaf) through `change`, which may
  // rename it too; the leaf and the record are sealed again, so only the
  // entry is damaged.
  void change_catalog_entry(const std::string& name, const CatalogChange& change) {
    const std::uint64_t slot = published_slot();
    const std::string head = file_bytes(path);
    CommitRecord record =
        record::parse_commit_record(
            slot,
            std::span(reinterpret_cast<const std::uint8_t*>(head.data()) + 512 + 512 * slot, 512),
            PageCipher::Checksum, page_size)
            .record;
    std::map<std::string, std::string> entries;
    std::uint64_t commit_id = 0;
    {
      auto opened = Database::open(path, opening()).value();
      NodeView leaf = opened.instance->reader()
                          .fetch_node(record.catalog, kCatalogTreeId, std::nullopt)
                          .value();
      ASSERT_TRUE(leaf.is_leaf());
      commit_id = leaf.commit_id();
      for (std::size_t i = 0; i < leaf.count(); ++i)
        entries[to_string(leaf.key_at(i))] = to_string(leaf.cell_at(i).value);
    }
    auto entry = entries.extract(name);
    ASSERT_FALSE(entry.empty());
    std::string new_name = name, value = entry.mapped();
    change(new_name, value);
    entries[new_name] = value;
    std::vector<LeafItem> items;
    for (const auto& [key, bytes] : entries)
      items.push_back(LeafItem{bytes_of(key), bytes_of(bytes), nullptr});
    std::vector<std::uint8_t> page(page_size);
    node::build_leaf(page, LeafLayout::Varint, items, commit_id, kCatalogTreeId);
    record.catalog.stamp = PageProtection::checksum().seal_page(record.catalog.page, page).value();
    write_bytes(path, record.catalog.page * page_size, to_string(page));
    const auto bytes = record::encode_commit_record(record);
    write_bytes(path, 512 + 512 * slot, to_string(bytes));
  }
};

const std::string kRecords = names::record_tree_name(1).str();

// The descriptor fields a damaged catalog entry may carry.
void set_u64(std::string& value, std::size_t offset, std::uint64_t n) {
  store_u64_le(reinterpret_cast<std::uint8_t*>(value.data()) + offset, n);
}
void tree_id_15(std::string&, std::string& value) { set_u64(value, 0, 15); }
void count_zeroed(std::string&, std::string& value) { set_u64(value, 40, 0); }
void root_zeroed(std::string&, std::string& value) {
  std::fill(value.begin() + 8, value.begin() + 40, '\0');
}
void name_not_utf8(std::string& name, std::string&) { name.back() = char(0xFF); }
CatalogChange resized(std::size_t size) {
  return [size](std::string&, std::string& value) { value.resize(size, '\x01'); };
}

// What a target holds when a collection's record tree is lost: no records
// and so no index entries.
void records_lost(Trees& t) {
  std::erase_if(t, [](const auto& tree) {
    return tree.first == kRecords || tree.first.starts_with(names::kIndexPrefix);
  });
}

struct Expect {
  bool whole;
  bool commit_found;
  bool unread;  // some gap was left by the walks
  std::uint64_t values_lost;
  std::uint64_t objects_dropped;
  // The static header was lost: the new file gets a new id, in the newest
  // format.
  bool new_file_id = false;
  // The commit before the last one is what could be rescued.
  bool older_commit = false;
};

struct DamageCase {
  const char* name;
  std::uint32_t page_size;
  bool encrypted;
  std::function<void(Source&)> damage;
  // Changes the intact model into what the target must hold.
  std::function<void(Trees&)> expected;
  Expect expect;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

void keep(Trees&) {}

const Expect kWhole{true, true, false, 0, 0};
const Expect kOlderCommit{false, true, false, 0, 0, false, true};

// One byte of the published commit's record flipped.
DamageCase flipped(const char* name, bool encrypted, std::uint64_t offset, Expect expect) {
  return {name, 4096, encrypted, [offset](Source& s) { s.flip_record(offset); }, keep, expect};
}

// The catalog entry of `tree` changed by `change`.
DamageCase changed(const char* name, std::string tree, CatalogChange change,
                   std::function<void(Trees&)> expected, Expect expect) {
  return {name,
          4096,
          false,
          [tree, change](Source& s) { s.change_catalog_entry(tree, change); },
          std::move(expected),
          expect};
}

const DamageCase kCases[] = {
    {"intact", 4096, false, [](Source&) {}, keep, {true, true, false, 0, 0}},
    {"intact_encrypted", 4096, true, [](Source&) {}, keep, {true, true, false, 0, 0}},
    {"zeroed_static_header_8192",
     8192,
     false,
     [](Source& s) { write_bytes(s.path, 0, std::string(192, '\0')); },
     keep,
     {true, true, false, 0, 0, true}},
    {"every_commit_record_broken",
     4096,
     false,
     [](Source& s) {
       for (std::uint64_t slot = 0; slot < 3; ++slot)
         write_bytes(s.path, 512 + 512 * slot + 20, "\x77\x77\x77");
     },
     keep,
     {false, false, false, 0, 0}},
    {"damaged_root_filled_from_older_leaves",
     4096,
     false,
     [](Source& s) { s.spoil_page(s.descriptor("pairs").root.page); },
     keep,
     {false, true, true, 0, 0}},
    {"leaves_newer_than_the_chosen_commit_left_out",
     4096,
     false,
     [](Source& s) {
       const std::uint64_t old_root = s.descriptor("pairs").root.page;
       s.commit_unrecorded([](WriteTxn& txn) {
         EXPECT_TRUE(txn.put(bytes_of("pairs"), bytes_of(Source::pair_key(100)), bytes_of("v3")));
       });
       s.spoil_page(old_root);
     },
     keep,
     {false, true, true, 0, 0}},
    {"damaged_overflow_run",
     4096,
     false,
     [](Source& s) { s.spoil_page(s.overflow_page("big")); },
     [](Trees& t) { t["big"].clear(); },
     {false, true, true, 1, 0}},
    {"lost_schema",
     4096,
     false,
     [](Source& s) { s.spoil_tree(kMeta); },
     [](Trees& t) {
       std::erase_if(t, [](const auto& tree) { return tree.first.starts_with('\0'); });
     },
     {false, true, true, 0, kItems}},
    // The published record damaged where no root lies: its commit is read
    // from its pages, the record's roots borne out by them.
    flipped("published_record_reserved_bytes", false, 300, kWhole),
    flipped("published_record_check", false, 500, kWhole),
    flipped("published_record_page_count", false, 9, kWhole),
    flipped("published_record_free_root", false, 50, kWhole),
    flipped("published_record_mac_encrypted", true, 300, kWhole),
    // Damaged where the pages cannot bear it out: the commit before it is
    // all there is, and the rescue is not whole.
    flipped("published_record_transaction_id", false, 0, kOlderCommit),
    flipped("published_record_catalog_root", false, 20, kOlderCommit),
    flipped("published_record_catalog_root_encrypted", true, 40, kOlderCommit),
    // An older commit's record damaged loses nothing that was published.
    {"older_record_transaction_id", 4096, false, [](Source& s) { s.flip_record(0, 2); }, keep,
     kWhole},
    // A catalog entry that breaks the rules while its name still tells the
    // tree and its root page reads: the tree is copied from that page.
    changed("catalog_entry_reserved_tree_id", kRecords, tree_id_15, keep, kWhole),
    changed("catalog_entry_root_without_count", kRecords, count_zeroed, keep, kWhole),
    changed("catalog_entry_57_bytes", kRecords, resized(57), keep, kWhole),
    changed("catalog_entry_40_bytes", kRecords, resized(40), keep, kWhole),
    // Nothing left to copy from: the tree is lost, its objects counted as
    // far as the descriptor states them.
    changed("catalog_entry_count_without_root", kRecords, root_zeroed, records_lost,
            {false, true, false, 0, kItems}),
    changed("catalog_entry_name_not_utf8", kRecords, name_not_utf8, records_lost,
            {false, true, false, 0, kItems}),
    changed("catalog_entry_30_bytes", kRecords, resized(30), records_lost,
            {false, true, false, 0, 0}),
    changed("catalog_entry_of_a_plain_tree_count_without_root", "pairs", root_zeroed,
            [](Trees& t) { t.erase("pairs"); }, {false, true, false, 0, 0}),
    // An index is rebuilt from the records: losing its entry loses nothing.
    changed("catalog_entry_of_an_index_count_without_root", names::index_tree_name(1).str(),
            root_zeroed, keep, kWhole),
};

class DamagedSource : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedSource, rescues_what_can_be_read_and_leaves_the_source_as_it_was) {
  const DamageCase& c = GetParam();
  testing::TempDir dir;
  Credential credential = c.encrypted ? file_key(9) : Credential();
  Source source(dir.path(), c.page_size, credential);
  c.damage(source);
  const std::string before = file_bytes(source.path);
  const std::string target = dir.file("target.db");

  // Small, so that the copy commits many times, in the middle of trees too.
  auto report = salvage::salvage(source.path, target, opening(credential), 256);
  ASSERT_TRUE(report) << report.error().to_string();

  EXPECT_EQ(file_bytes(source.path), before);
  EXPECT_EQ(report->whole(), c.expect.whole);
  EXPECT_EQ(report->commit_id.has_value(), c.expect.commit_found);
  EXPECT_EQ(report->pages_unread > 0, c.expect.unread);
  EXPECT_EQ(report->values_lost, c.expect.values_lost);
  EXPECT_EQ(report->objects_dropped, c.expect.objects_dropped);
  EXPECT_EQ(report->bytes, stdfs::file_size(target));
  Trees expected = c.expect.older_commit ? source.older_model : source.model;
  c.expected(expected);
  EXPECT_EQ(contents(target, credential), expected);
  EXPECT_EQ(report->trees, expected.size());

  auto rescued = expect_sound(target, credential);
  EXPECT_EQ(rescued->page_size(), c.page_size);
  EXPECT_EQ(rescued->file_id() != source.file_id, c.expect.new_file_id);
  EXPECT_EQ(rescued->format_version(), kNewestFormatVersion);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir.path()), {}), 2);
}

INSTANTIATE_TEST_SUITE_P(Corpus, DamagedSource, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
  const char* name;
  bool encrypted;
  std::function<Credential()> credential;
  ErrorKind kind;
};

const Refusal kRefusals[] = {
    {"encrypted_without_key", true, [] { return Credential(); }, ErrorKind::KeyRequired},
    {"encrypted_with_wrong_key", true, [] { return file_key(8); }, ErrorKind::WrongKey},
    {"plain_with_key", false, [] { return file_key(9); }, ErrorKind::InvalidArgument},
};

class RefusedSalvage : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedSalvage, leaves_no_target_and_no_temporary_file) {
  const Refusal& r = GetParam();
  testing::TempDir dir;
  Source source(dir.path(), 4096, r.encrypted ? file_key(9) : Credential());
  const std::string before = file_bytes(source.path);
  auto report = salvage::salvage(source.path, dir.file("t.db"), opening(r.credential()));
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().kind(), r.kind) << report.error().to_string();
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir.path()), {}), 1);
  EXPECT_EQ(file_bytes(source.path), before);
}

INSTANTIATE_TEST_SUITE_P(Credentials, RefusedSalvage, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Salvage, source_open_in_this_process_is_busy_at_once) {
  testing::TempDir dir;
  Source source(dir.path(), 4096, {});
  auto opened = Database::open(source.path, opening()).value();
  OpenOptions options = opening();
  // Busy at once: had it waited for the open handle, it would not return
  // within the run's time.
  options.busy_timeout = std::chrono::hours(1);
  auto report = salvage::salvage(source.path, dir.file("t.db"), options);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::Busy);
  // The open handle kept its locks: it still writes.
  auto txn = WriteTxn::begin(opened.instance).value();
  EXPECT_TRUE(txn->put(bytes_of("pairs"), bytes_of("x"), bytes_of("y")));
  EXPECT_TRUE(txn->commit());
}

// A slot the selector does not name holding a record with the published
// commit's id, the orphan of a writer that died before its selector (made
// here from the oldest record, stamped with that id, in slot 0): the open
// takes the selector's record, and so does the salvage, which is whole.
TEST(Salvage, of_two_records_with_one_id_takes_the_one_the_selector_names) {
  testing::TempDir dir;
  const std::string path = dir.file("s.db");
  {
    auto db = Database::open(path, opening()).value().instance;
    for (int i = 0; i < 5; ++i) {
      auto w = WriteTxn::begin(db).value();
      ASSERT_TRUE(w->put(bytes_of("t"), bytes_of(format_text("k{}", i)), bytes_of("v")));
      ASSERT_TRUE(w->commit());
    }
  }
  const std::string head = file_bytes(path);
  const std::size_t selected = std::uint8_t(head[kSelectorOffset]) & 3;
  ASSERT_NE(selected, 0u);
  auto record_in = [&](std::size_t slot) {
    return record::parse_commit_record(
               slot,
               std::span(
                   reinterpret_cast<const std::uint8_t*>(head.data()) + record_slot_offset(slot),
                   kRecordSize),
               PageCipher::Checksum, kMinPageSize)
        .record;
  };
  CommitRecord orphan = record_in(0);
  ASSERT_LT(orphan.txn_id, record_in(selected).txn_id);
  orphan.txn_id = record_in(selected).txn_id;
  const auto encoded = record::encode_commit_record(orphan);
  write_bytes(path, record_slot_offset(0),
              std::string(reinterpret_cast<const char*>(encoded.data()), encoded.size()));

  auto report = salvage::salvage(path, dir.file("target.db"), opening());
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_TRUE(report->whole());
  EXPECT_EQ(contents(dir.file("target.db")), contents(path));
  EXPECT_EQ(contents(path).at("t").size(), 5u);
}

// The crash image of a commit whose record reached its slot while the
// selector byte on the disk still names the commit before it (the writer
// died before its selector, or the power went before its sync made it
// durable): recovery adopts the newer record only when every page it wrote
// is whole, and otherwise publishes the selector's. Salvage takes what
// recovery would publish, and so rescues it whole. Beside a deferred
// selector, or with the head's first sector lost and the selector with it,
// the pages decide for every record.
enum class SelectorOnDisk { Durable, Deferred, Lost };

struct UnpublishedCase {
  const char* name;
  // One leaf the newer commit wrote did not reach the disk whole.
  bool torn_leaf;
  SelectorOnDisk selector;
  bool newer_taken;
};

void PrintTo(const UnpublishedCase& c, std::ostream* os) { *os << c.name; }

const UnpublishedCase kUnpublished[] = {
    {"newer_record_whole", false, SelectorOnDisk::Durable, true},
    {"newer_record_with_a_torn_leaf", true, SelectorOnDisk::Durable, false},
    {"newer_record_whole_deferred_selector", false, SelectorOnDisk::Deferred, true},
    {"newer_record_with_a_torn_leaf_deferred_selector", true, SelectorOnDisk::Deferred, false},
    {"newer_record_whole_header_lost", false, SelectorOnDisk::Lost, true},
    {"newer_record_with_a_torn_leaf_header_lost", true, SelectorOnDisk::Lost, false},
};

class UnpublishedRecord : public ::testing::TestWithParam<UnpublishedCase> {};

TEST_P(UnpublishedRecord, salvage_takes_the_commit_recovery_would_publish) {
  const UnpublishedCase& c = GetParam();
  testing::TempDir dir;
  const std::string path = dir.file("s.db");
  auto put = [&](const std::vector<std::pair<int, std::string>>& changes) {
    auto db = Database::open(path, opening()).value().instance;
    auto w = WriteTxn::begin(db).value();
    for (const auto& [i, value] : changes)
      EXPECT_TRUE(w->put(bytes_of("t"), bytes_of(Source::pair_key(i)), bytes_of(value)));
    EXPECT_TRUE(w->commit());
    return db->published().record;
  };
  std::vector<std::pair<int, std::string>> all;
  // Values long enough for a leaf to hold a few dozen pairs.
  for (int i = 0; i < kPairs; ++i) all.emplace_back(i, std::string(100, 'a'));
  put(all);
  put({{100, "v2"}});
  const CommitRecord published = put({{200, "v2"}});
  const char selector = file_bytes(path)[kSelectorOffset];
  const Trees published_trees = contents(path);
  // The newer commit rewrites two leaves of the tree, far apart.
  const CommitRecord newer = put({{20, "w"}, {280, "w"}});
  const Trees newer_trees = contents(path);
  ASSERT_GT(newer.txn_id, published.txn_id);
  if (c.torn_leaf) {
    auto db = Database::open(path, opening()).value().instance;
    ReadTxn txn = Instance::begin_read(db).value();
    const TreeDescriptor t = *txn.descriptor(bytes_of("t")).value();
    NodeView root = db->reader().fetch_node(t.root, t.tree_id, std::nullopt).value();
    ASSERT_FALSE(root.is_leaf());
    std::uint64_t torn = 0;
    for (std::size_t i = 0; i < root.child_count(); ++i)
      if (root.child_at(i).commit_id == newer.txn_id) torn = root.child_at(i).page;
    ASSERT_NE(torn, 0u);
    write_bytes(path, torn * kMinPageSize + 100,
                std::string(1, char(file_bytes(path)[torn * kMinPageSize + 100] ^ 0x5A)));
  }
  const char deferred_bit = c.selector == SelectorOnDisk::Deferred ? char(0x80) : char(0);
  write_bytes(path, kSelectorOffset, std::string(1, char(selector | deferred_bit)));
  // What recovery publishes, from a copy (it repairs what it opens).
  const std::string copy = dir.file("recovered.db");
  stdfs::copy_file(path, copy);
  const Trees recovered = contents(copy);
  ASSERT_EQ(recovered, c.newer_taken ? newer_trees : published_trees);
  if (c.selector == SelectorOnDisk::Lost) write_bytes(path, 0, std::string(192, '\0'));

  const std::string target = dir.file("target.db");
  auto report = salvage::salvage(path, target, opening());
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->commit_id, c.newer_taken ? newer.txn_id : published.txn_id);
  EXPECT_TRUE(report->whole());
  EXPECT_EQ(report->pages_unread, 0u);
  EXPECT_EQ(contents(target), recovered);
  expect_sound(target);
}

INSTANTIATE_TEST_SUITE_P(CrashImages, UnpublishedRecord, ::testing::ValuesIn(kUnpublished),
                         [](const auto& info) { return std::string(info.param.name); });

// A write transaction past its memory budget writes leaves early into free
// pages; aborted, it leaves them there, stamped with the id the next commit
// takes. When that commit rewrites the tree's root, the root's gap reaches
// them by commit id, and they must not outrank the leaves the commit holds:
// their values were never committed.
TEST(Salvage, leaves_of_an_aborted_transaction_do_not_override_the_commit) {
  testing::TempDir dir;
  const std::string path = dir.file("s.db");
  OpenOptions options = opening();
  options.cache_size = 128 * 1024;
  auto key = [](int i) { return format_text("k{}", 10000 + i); };
  auto fill = [&](WriteTxn& w, const std::string& value) {
    for (int i = 0; i < 2000; ++i)
      ASSERT_TRUE(w.put(bytes_of("t"), bytes_of(key(i)), bytes_of(value + std::string(60, '.'))));
  };
  {
    auto db = Database::open(path, options).value().instance;
    for (const char* value : {"first", "second"}) {
      auto w = WriteTxn::begin(db).value();
      ASSERT_NO_FATAL_FAILURE(fill(*w, value));
      ASSERT_TRUE(w->commit());
    }
    // The first commit's leaves come free for the aborted transaction.
    for (int i = 0; i < 4; ++i) {
      auto w = WriteTxn::begin(db).value();
      ASSERT_TRUE(w->put(bytes_of("x"), bytes_of(key(i)), bytes_of("x")));
      ASSERT_TRUE(w->commit());
    }
    auto aborted = WriteTxn::begin(db).value();
    ASSERT_NO_FATAL_FAILURE(fill(*aborted, "aborted"));
    aborted->abort();
    auto w = WriteTxn::begin(db).value();
    ASSERT_TRUE(w->put(bytes_of("t"), bytes_of(key(0)), bytes_of("third")));
    ASSERT_TRUE(w->commit());
  }
  // Some of them stay in free pages (those past the end went with the cut).
  ASSERT_NE(file_bytes(path).find("aborted."), std::string::npos);
  const Trees model = contents(path);
  TreeDescriptor t;
  {
    auto db = Database::open(path, opening()).value().instance;
    ReadTxn txn = Instance::begin_read(db).value();
    t = *txn.descriptor(bytes_of("t")).value();
    ASSERT_EQ(t.root.commit_id, db->published().record.txn_id);
  }
  write_bytes(path, t.root.page * kMinPageSize + 100,
              std::string(1, char(file_bytes(path)[t.root.page * kMinPageSize + 100] ^ 0x5A)));

  const std::string target = dir.file("target.db");
  auto report = salvage::salvage(path, target, opening());
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->pages_unread, 1u);
  EXPECT_EQ(report->values_lost, 0u);
  const Trees rescued = contents(target);
  std::size_t aborted_values = 0;
  for (const auto& [k, value] : rescued.at("t")) aborted_values += value.starts_with("aborted");
  EXPECT_EQ(aborted_values, 0u);
  EXPECT_EQ(rescued, model);
  expect_sound(target);
}

// Records written past the typed layer: one repeating a unique value of a
// lower key, one under a key past the auto-increment counter.
TEST(Salvage, unique_collision_keeps_the_lower_key_and_the_counter_passes_the_largest_key) {
  testing::TempDir dir;
  Source source(dir.path(), 4096, {});
  auto record = [](std::int64_t id, std::string_view name) {
    std::string bytes = "\x03\x01\x04";
    bytes += char(id * 2);  // zigzag, one byte
    bytes += "\x02\x06";
    bytes += char(name.size());
    bytes += name;
    bytes += std::string("\x03\x04\x00", 3);
    return bytes;
  };
  auto key = [](std::int64_t id) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(key::encode_value(Value::integer(id), out));
    return to_string(out);
  };
  const std::string records = names::record_tree_name(1).str();
  {
    auto opened = Database::open(source.path, opening()).value();
    auto txn = WriteTxn::begin(opened.instance).value();
    ASSERT_TRUE(txn->put(bytes_of(records), bytes_of(key(50)), bytes_of(record(50, "zz"))));
    ASSERT_TRUE(txn->put(bytes_of(records), bytes_of(key(45)), bytes_of(record(45, "n0"))));
    ASSERT_TRUE(txn->commit());
  }
  auto report = salvage::salvage(source.path, dir.file("t.db"), opening()).value();
  EXPECT_EQ(report.objects_dropped, 1u);
  Trees trees = contents(dir.file("t.db"));
  EXPECT_TRUE(trees[records].contains(key(50)));
  EXPECT_FALSE(trees[records].contains(key(45)));
  EXPECT_EQ(load_u64_le(reinterpret_cast<const std::uint8_t*>(
                trees[kMeta][names::counter_key(1).str()].data())),
            51u);
  expect_sound(dir.file("t.db"));
}

// A tree whose branches all point at one child, level upon level: a walk
// that followed every pointer would visit 32^6 leaves.
TEST(SalvageWalk, pages_met_again_are_not_walked_again) {
  testing::TempDir dir;
  constexpr std::uint32_t kPageSize = 4096;
  constexpr std::uint64_t kTree = 20;
  const std::string path = dir.file("dag.db");
  auto file = DbFile::open(path, DbFileMode::CreateNew).value();
  PageProtection protection = PageProtection::checksum();
  auto write_page = [&](std::uint64_t page, std::vector<std::uint8_t>& bytes) {
    const PageStamp stamp = protection.seal_page(page, bytes).value();
    EXPECT_TRUE(file.write_at(page * kPageSize, bytes));
    return ChildPointer{page, 1, stamp};
  };
  std::vector<std::uint8_t> bytes(kPageSize);
  const std::string key = "k", value = "v";
  const LeafItem item{bytes_view(key), bytes_view(value), nullptr};
  node::build_leaf(bytes, LeafLayout::Varint, std::span(&item, 1), 1, kTree);
  ChildPointer child = write_page(1, bytes);
  std::vector<std::string> separators;
  for (int i = 0; i < 31; ++i) separators.push_back(format_text("s{}", 10 + i));
  std::vector<ByteView> keys;
  for (const std::string& s : separators) keys.push_back(bytes_view(s));
  for (std::uint8_t level = 1; level <= 6; ++level) {
    std::vector<ChildPointer> children(32, child);
    std::fill(bytes.begin(), bytes.end(), 0);
    node::build_branch(bytes, level, keys, children, 1, kTree);
    child = write_page(level + 1, bytes);
  }
  PageReader reader(file, kPageSize, PageProtection::checksum(), 1 << 20);
  std::uint64_t delivered = 0;
  auto gaps = salvage::walk_tree(reader, child, kTree, [&](ByteView, ByteView) -> Status {
    ++delivered;
    return ok();
  });
  ASSERT_TRUE(gaps);
  EXPECT_TRUE(gaps->empty());
  EXPECT_EQ(delivered, 1u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
