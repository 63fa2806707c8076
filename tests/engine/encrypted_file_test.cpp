// Encrypted files end to end: what opens them, what they refuse, what their
// bytes give away, and how a key change leaves no way back for the old
// secret.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "btree/pager/pager_source.hpp"
#include "crypto/file_keys.hpp"
#include "database.hpp"
#include "key_change.hpp"
#include "sanitizers.hpp"
#include "storage/fault_storage.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/credentials.hpp"
#include "support/temp_dir.hpp"
#include "txn/head.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing::key_credential;
using testing::password;

using Trees = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(std::string_view s) { return bytes_of(s); }

OpenOptions options_with(Credential credential,
                         NewFileCipher cipher = NewFileCipher::XChaCha20Poly1305) {
  OpenOptions options;
  options.credential = std::move(credential);
  // Cheap hashing keeps the tests fast; the stored parameters travel with
  // each key block.
  options.password_hashing = {64, 1, 1};
  options.new_file_cipher = cipher;
  return options;
}

struct MemoryDb {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
};

Result<MemoryDb> open_image(std::vector<std::uint8_t> image, const OpenOptions& options) {
  auto storage = std::make_unique<FaultStorage>("/mem/e.db", std::move(image));
  MemoryDb db;
  db.storage = storage.get();
  db.instance = DZ_TRY(Database::open_existing(std::move(storage), options));
  return db;
}

MemoryDb create(const OpenOptions& options) {
  auto page = Database::new_first_page(options, "/mem/e.db");
  EXPECT_TRUE(page) << page.error().to_string();
  auto db = open_image(*page, options);
  EXPECT_TRUE(db) << db.error().to_string();
  return *db;
}

void put_all(MemoryDb& db, const Trees& trees) {
  auto w = WriteTxn::begin(db.instance);
  ASSERT_TRUE(w) << w.error().to_string();
  for (const auto& [tree, entries] : trees)
    for (const auto& [key, value] : entries) ASSERT_TRUE((*w)->put(b(tree), b(key), b(value)));
  ASSERT_TRUE((*w)->commit());
}

Result<Trees> read_all(const MemoryDb& db) {
  return testing::read_all_trees(db.instance->reader(), db.instance->published().record);
}

// Plaintext that must never appear in the file.
const Trees kSecrets = {
    {"patients",
     {{"alice-liddell", "diagnosis:SECRET-DIAGNOSIS-0001"},
      {"bob-the-builder", "diagnosis:SECRET-DIAGNOSIS-0002"}}},
    {"salaries", {{"carol-danvers", "SALARY-4242424242"}}},
};

// A file with a few commits, so that all three slots hold records.
MemoryDb populated(const OpenOptions& options) {
  MemoryDb db = create(options);
  put_all(db, kSecrets);
  Trees more;
  for (int i = 0; i < 40; ++i)
    more["bulk"]["row-" + std::to_string(i)] = "payload-" + std::string(60, char('a' + i % 26));
  put_all(db, more);
  return db;
}

Trees expected_content() {
  Trees all = kSecrets;
  for (int i = 0; i < 40; ++i)
    all["bulk"]["row-" + std::to_string(i)] = "payload-" + std::string(60, char('a' + i % 26));
  return all;
}

// ---- Opening -----------------------------------------------------------

// A commit leaves the nodes it wrote in the page cache for the next
// transaction: each must be, byte for byte, the page a read opens.
TEST(EncryptedFile, nodes_cached_when_written_are_the_pages_a_read_opens) {
  std::vector<OpenOptions> all;
  all.emplace_back();
  for (NewFileCipher cipher : {NewFileCipher::XChaCha20Poly1305, NewFileCipher::Xaes256Gcm})
    all.push_back(options_with(key_credential(1), cipher));
  for (const OpenOptions& options : all) {
    MemoryDb db = populated(options);
    const CommitRecord& record = db.instance->published().record;
    std::vector<ChildPointer> roots;
    std::vector<std::uint64_t> ids;
    for (auto [root, id] :
         {std::pair(record.catalog, kCatalogTreeId), std::pair(record.free_tree, kFreeTreeId),
          std::pair(record.retained_tree, kRetainedTreeId)}) {
      if (root.page == 0) continue;
      roots.push_back(root);
      ids.push_back(id);
    }
    ASSERT_GE(roots.size(), 2u);
    auto& reader = db.instance->reader();
    std::vector<std::vector<std::uint8_t>> cached;
    for (std::size_t i = 0; i < roots.size(); ++i) {
      ASSERT_NE(reader.pager().cache().get(roots[i].page, roots[i].stamp, &parse_node_page),
                nullptr);
      auto view = reader.fetch_node(roots[i], ids[i], std::nullopt);
      ASSERT_TRUE(view) << view.error().to_string();
      cached.emplace_back(view->page(), view->page() + db.instance->page_size());
    }
    reader.pager().cache().clear();
    for (std::size_t i = 0; i < roots.size(); ++i) {
      auto view = reader.fetch_node(roots[i], ids[i], std::nullopt);
      ASSERT_TRUE(view) << view.error().to_string();
      EXPECT_EQ(std::vector<std::uint8_t>(view->page(), view->page() + db.instance->page_size()),
                cached[i]);
    }
  }
}

TEST(EncryptedFile, reopens_with_its_key_under_each_cipher) {
  for (NewFileCipher cipher : {NewFileCipher::XChaCha20Poly1305, NewFileCipher::Xaes256Gcm}) {
    MemoryDb db = populated(options_with(key_credential(1), cipher));
    EXPECT_TRUE(db.instance->encrypted());
    EXPECT_EQ(static_cast<int>(db.instance->cipher()), static_cast<int>(cipher));
    auto reopened = open_image(db.storage->current_image(), options_with(key_credential(1)));
    ASSERT_TRUE(reopened) << reopened.error().to_string();
    EXPECT_TRUE(*read_all(*reopened) == expected_content());
    for (const auto& problem : testing::check_commit(reopened->instance->reader(),
                                                     reopened->instance->published().record))
      ADD_FAILURE() << problem;
  }
}

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps.
std::string mapping_flags(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  auto at = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long first = 0, end = 0;
    // A mapping's first line is its address range; its flags come last.
    if (std::sscanf(line.c_str(), "%lx-%lx ", &first, &end) == 2) inside = first <= at && at < end;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

TEST(EncryptedFile, keys_of_an_open_file_stay_out_of_core_dumps) {
  MemoryDb db = create(options_with(key_credential(1)));
  const FileKeys* keys = db.instance->file_keys();
  ASSERT_NE(keys, nullptr);
  EXPECT_NE(mapping_flags(keys).find(" dd"), std::string::npos) << mapping_flags(keys);
}

TEST(EncryptedFile, missing_secret_is_key_required) {
  MemoryDb db = populated(options_with(key_credential(1)));
  auto opened = open_image(db.storage->current_image(), OpenOptions{});
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(),
            "`/mem/e.db` is encrypted; open it with its key or password");
}

TEST(EncryptedFile, wrong_key_is_refused_before_any_page_is_read) {
  MemoryDb db = populated(options_with(key_credential(1)));
  auto image = db.storage->current_image();
  // With every page after the head wiped, only the head can answer.
  std::fill(image.begin() + 4096, image.end(), 0xEE);
  auto opened = open_image(image, options_with(key_credential(2)));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(), "the key or password does not open `/mem/e.db`");
}

TEST(EncryptedFile, password_off_by_one_character_is_wrong_key) {
  MemoryDb db = populated(options_with(password("tr0ub4dor&3")));
  auto image = db.storage->current_image();
  for (std::string_view near : {"tr0ub4dor&", "tr0ub4dor&33", "Tr0ub4dor&3", "tr0ub4dor*3"}) {
    auto opened = open_image(image, options_with(password(near)));
    ASSERT_FALSE(opened) << near;
    EXPECT_EQ(opened.error().kind(), ErrorKind::WrongKey) << near;
  }
  // Whatever the options' hashing parameters, the stored ones decide.
  OpenOptions other = options_with(password("tr0ub4dor&3"));
  other.password_hashing = {19456, 2, 1};
  auto opened = open_image(image, other);
  ASSERT_TRUE(opened) << opened.error().to_string();
  EXPECT_TRUE(*read_all(*opened) == expected_content());
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Opens the image in args[0] with a wrong password, with 256 MiB more
// address space than the process has: 0 when the open is WrongKey.
DZ_CHILD(open_under_an_address_space_limit) {
  auto image = read_file(args[0]);
  rlimit limit{512 << 20, 512 << 20};
  if (std::ifstream status("/proc/self/statm"); status) {
    std::uint64_t pages = 0;
    status >> pages;
    limit.rlim_cur = limit.rlim_max = pages * ::sysconf(_SC_PAGESIZE) + (256 << 20);
  }
  if (::setrlimit(RLIMIT_AS, &limit) != 0) return 9;
  auto opened = open_image(image, options_with(password("wrong")));
  if (opened) return 2;
  return opened.error().kind() == ErrorKind::WrongKey ? 0 : 3;
}

TEST(EncryptedFile, password_that_cannot_be_hashed_for_an_older_block_is_wrong_key) {
  if (kAddressSanitizer)
    GTEST_SKIP() << "the address sanitizer's allocator does not survive an address-space limit";
  MemoryDb db = populated(options_with(password("right")));
  auto image = db.storage->current_image();
  // An older slot's block asks for 1 GiB, which this process cannot have.
  std::uint8_t published = header::decode_selector(image[kSelectorOffset])->slot;
  std::uint8_t older = (published + 1) % kRecordSlotCount;
  auto slot = std::span(image).subspan(record_slot_offset(older), kRecordSize);
  auto forged = record::parse_commit_record(older, slot, db.instance->cipher(), 4096).record;
  std::uint32_t memory_kib = keys::kMaxMemoryKib;
  std::memcpy(forged.key_block.data() + 4, &memory_kib, 4);
  auto bytes = record::encode_commit_record(forged);
  std::copy(bytes.begin(), bytes.end(), slot.begin());
  testing::TempDir dir;
  write_file(dir.file("forged.db"), image);
  testing::Child child("open_under_an_address_space_limit", {dir.file("forged.db")});
  EXPECT_EQ(child.wait(), 0);
}

// The processor time a thread of this process has used, in clock ticks.
std::uint64_t cpu_ticks(pid_t thread) {
  std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  std::istringstream fields(stat.substr(at + 2));
  std::string field;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> field;
  std::uint64_t user = 0, system = 0;
  fields >> user >> system;
  return user + system;
}

// In args[0]: opens "forged.db", whose block asks for hashing of args[1]
// KiB and args[2] passes, and creates "new.db" with the same hashing, each
// in a thread; once both are hashing, opens "plain.db". 0 when that open
// succeeded while neither hashing open had ended.
DZ_CHILD(open_beside_password_hashing) {
  std::string dir = args[0];
  OpenOptions creating = options_with(password("pw"));
  creating.password_hashing = {std::uint32_t(args.number(1)), std::uint32_t(args.number(2)), 1};
  std::atomic<pid_t> hashing[2] = {0, 0};
  std::atomic<bool> ended{false};
  std::thread([&] {
    hashing[0] = ::gettid();
    (void)Database::open(dir + "/forged.db", options_with(password("pw")));
    ended = true;
  }).detach();
  std::thread([&] {
    hashing[1] = ::gettid();
    (void)Database::open(dir + "/new.db", creating);
    ended = true;
  }).detach();
  // A tenth of a second of processor time each: both are inside the
  // hashing, which takes far longer.
  bool both = testing::eventually([&] {
    return hashing[0] != 0 && hashing[1] != 0 && cpu_ticks(hashing[0]) >= 10 &&
           cpu_ticks(hashing[1]) >= 10;
  });
  if (!both) ::_exit(2);
  bool opened = Database::open(dir + "/plain.db", {}).has_value();
  // Had this open waited for a hashing, that one would have ended first.
  int code = ended ? 4 : opened ? 0 : 3;
  // The hashing threads still use this frame: no return through it.
  std::fflush(nullptr);
  ::_exit(code);
}

TEST(EncryptedFile, password_hashing_leaves_opens_of_other_files_free) {
  MemoryDb db = populated(options_with(password("pw")));
  auto image = db.storage->current_image();
  // The published block's stored parameters raised to a minute of hashing.
  std::uint8_t published = header::decode_selector(image[kSelectorOffset])->slot;
  auto slot = std::span(image).subspan(record_slot_offset(published), kRecordSize);
  auto forged = record::parse_commit_record(published, slot, db.instance->cipher(), 4096).record;
  std::uint32_t memory_kib = 65536, iterations = keys::kMaxIterations;
  std::memcpy(forged.key_block.data() + 4, &memory_kib, 4);
  std::memcpy(forged.key_block.data() + 8, &iterations, 4);
  auto bytes = record::encode_commit_record(forged);
  std::copy(bytes.begin(), bytes.end(), slot.begin());
  testing::TempDir dir;
  write_file(dir.file("forged.db"), image);
  ASSERT_TRUE(Database::open(dir.file("plain.db"), OpenOptions{}));
  testing::Child child("open_beside_password_hashing", {dir.path(), memory_kib, iterations});
  EXPECT_EQ(child.wait(), 0);
}

TEST(EncryptedFile, plain_file_refuses_a_key) {
  MemoryDb db = create(OpenOptions{});
  EXPECT_FALSE(db.instance->encrypted());
  for (Credential secret : {key_credential(1), password("pw")}) {
    auto opened = open_image(db.storage->current_image(), options_with(std::move(secret)));
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(opened.error().to_string(),
              "`/mem/e.db` is not encrypted, so it cannot be opened with a key");
  }
}

TEST(EncryptedFile, second_open_in_the_process_proves_its_own_secret) {
  testing::TempDir dir;
  std::string path = dir.file("e.db");
  auto first = Database::open(path, options_with(key_credential(1)));
  ASSERT_TRUE(first) << first.error().to_string();

  auto without = Database::open(path, OpenOptions{});
  ASSERT_FALSE(without);
  EXPECT_EQ(without.error().kind(), ErrorKind::KeyRequired);
  auto wrong = Database::open(path, options_with(key_credential(2)));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::WrongKey);
  auto right = Database::open(path, options_with(key_credential(1)));
  ASSERT_TRUE(right) << right.error().to_string();
  EXPECT_EQ(right->instance.get(), first->instance.get());

  std::string plain_path = dir.file("p.db");
  auto plain = Database::open(plain_path, OpenOptions{});
  ASSERT_TRUE(plain);
  auto keyed = Database::open(plain_path, options_with(key_credential(1)));
  ASSERT_FALSE(keyed);
  EXPECT_EQ(keyed.error().kind(), ErrorKind::InvalidArgument);
}

TEST(EncryptedFile, deferred_commit_whose_pages_landed_survives_recovery) {
  // Recovery checks the pages of a commit the selector does not vouch for;
  // in an encrypted file it must open them with the file's key.
  for (NewFileCipher cipher : {NewFileCipher::XChaCha20Poly1305, NewFileCipher::Xaes256Gcm}) {
    OpenOptions options = options_with(key_credential(1), cipher);
    MemoryDb db = populated(options);
    auto w = WriteTxn::begin(db.instance);
    ASSERT_TRUE(w);
    ASSERT_TRUE((*w)->put(b("late"), b("entry"), b("deferred value")));
    ASSERT_TRUE((*w)->commit_deferred());
    auto image = db.storage->current_image();
    auto reopened = open_image(image, options);
    ASSERT_TRUE(reopened) << reopened.error().to_string();
    auto content = read_all(*reopened);
    ASSERT_TRUE(content) << content.error().to_string();
    EXPECT_EQ((*content)["late"]["entry"], "deferred value");
  }
}

TEST(EncryptedFile, second_open_sees_a_key_changed_elsewhere) {
  testing::TempDir dir;
  std::string path = dir.file("e.db");
  auto first = Database::open(path, options_with(key_credential(1)));
  ASSERT_TRUE(first) << first.error().to_string();
  // Another opener of the same file, outside this process's registry, as
  // another process would be, changes the key.
  {
    auto file = Database::open_file(path);
    ASSERT_TRUE(file);
    auto elsewhere =
        Database::open_existing(std::move(*file), options_with(key_credential(1)), false);
    ASSERT_TRUE(elsewhere) << elsewhere.error().to_string();
    ASSERT_TRUE(keys::set_secret(*elsewhere, nullptr, key_credential(2)));
  }
  auto old_key = Database::open(path, options_with(key_credential(1)));
  ASSERT_FALSE(old_key);
  EXPECT_EQ(old_key.error().kind(), ErrorKind::WrongKey);
  auto new_key = Database::open(path, options_with(key_credential(2)));
  ASSERT_TRUE(new_key) << new_key.error().to_string();
  EXPECT_EQ(new_key->instance.get(), first->instance.get());
}

// ---- What the bytes give away ------------------------------------------

TEST(EncryptedFile, file_holds_none_of_its_plaintext) {
  for (NewFileCipher cipher : {NewFileCipher::XChaCha20Poly1305, NewFileCipher::Xaes256Gcm}) {
    MemoryDb db = populated(options_with(key_credential(1), cipher));
    auto image = db.storage->current_image();
    std::string haystack(image.begin(), image.end());
    for (const auto& [tree, entries] : expected_content()) {
      EXPECT_EQ(haystack.find(tree), std::string::npos) << tree;
      for (const auto& [key, value] : entries) {
        EXPECT_EQ(haystack.find(key), std::string::npos) << key;
        EXPECT_EQ(haystack.find(value.substr(0, 16)), std::string::npos) << value;
      }
    }
    // The same content in a plain file is there to be found: the search works.
    MemoryDb plain = populated(OpenOptions{});
    auto plain_image = plain.storage->current_image();
    std::string plain_text(plain_image.begin(), plain_image.end());
    EXPECT_NE(plain_text.find("SECRET-DIAGNOSIS-0001"), std::string::npos);
  }
}

// Opens an image and reads everything: the content, or the first refusal.
Result<Trees> open_and_read(std::vector<std::uint8_t> image, const OpenOptions& options) {
  auto db = DZ_TRY(open_image(std::move(image), options));
  return read_all(db);
}

// What the file held after each of its commits: a damaged newest record
// may send recovery back to one of these, never anywhere else.
std::vector<Trees> committed_states() { return {Trees{}, kSecrets, expected_content()}; }

bool is_committed_state(const Trees& content) {
  for (const Trees& state : committed_states())
    if (content == state) return true;
  return false;
}

TEST(EncryptedFile, flipped_bit_anywhere_is_refused_or_changes_nothing) {
  OpenOptions options = options_with(key_credential(1), NewFileCipher::Xaes256Gcm);
  MemoryDb db = populated(options);
  const auto clean = db.storage->current_image();
  const std::uint32_t page_size = db.instance->page_size();
  std::size_t refused_in_pages = 0;
  for (std::size_t byte = 0; byte < clean.size(); ++byte) {
    // The selector byte names a slot and is no secret: flipping it may send
    // recovery to an older commit, which recovery owns. Everything else
    // counts.
    if (byte == kSelectorOffset) continue;
    // Every byte of the head and of each page's header and trailer; a
    // stride through page bodies, whose bytes are all sealed alike.
    std::size_t in_page = byte % page_size;
    bool edge = byte < kHeadSize || in_page < 64 || in_page >= page_size - 16;
    if (!edge && in_page % 5 != 0) continue;
    auto image = clean;
    image[byte] ^= static_cast<std::uint8_t>(1u << (byte % 8));
    auto got = open_and_read(image, options);
    if (got) {
      // Accepted: the flip touched nothing that is read (a non-published
      // slot, unused head bytes, a free page), or it spoilt the newest
      // record and recovery went back to an older commit.
      bool head_byte = byte < kHeadSize;
      EXPECT_TRUE(head_byte ? is_committed_state(*got) : *got == expected_content())
          << "byte " << byte << " changed the content unnoticed";
    } else if (byte >= page_size) {
      ++refused_in_pages;
    }
  }
  // Every page of the published trees is sealed; their flips are refused.
  EXPECT_GT(refused_in_pages, page_size / 5);
}

TEST(EncryptedFile, page_moved_to_another_place_or_file_is_refused) {
  OpenOptions options = options_with(key_credential(1));
  MemoryDb db = populated(options);
  MemoryDb other = populated(options);  // same key, its own data key
  const auto clean = db.storage->current_image();
  const std::size_t page_size = db.instance->page_size();
  const std::size_t pages = clean.size() / page_size;
  ASSERT_GE(pages, 3u);
  std::size_t refused_moves = 0;
  for (std::size_t from = 1; from < pages; ++from) {
    for (std::size_t to = 1; to < pages; ++to) {
      if (from == to) continue;
      auto image = clean;
      std::copy_n(clean.begin() + from * page_size, page_size, image.begin() + to * page_size);
      auto got = open_and_read(image, options);
      if (got) {
        EXPECT_TRUE(*got == expected_content()) << from << " -> " << to;
      } else {
        ++refused_moves;
      }
    }
  }
  EXPECT_GT(refused_moves, 0u);
  const auto foreign = other.storage->current_image();
  std::size_t refused_foreign = 0;
  for (std::size_t p = 1; p < std::min(pages, foreign.size() / page_size); ++p) {
    auto image = clean;
    std::copy_n(foreign.begin() + p * page_size, page_size, image.begin() + p * page_size);
    auto got = open_and_read(image, options);
    if (got) {
      EXPECT_TRUE(*got == expected_content()) << "foreign page " << p;
    } else {
      ++refused_foreign;
    }
  }
  EXPECT_GT(refused_foreign, 0u);
}

TEST(EncryptedFile, commit_record_of_another_file_or_slot_is_never_adopted) {
  OpenOptions options = options_with(key_credential(1));
  MemoryDb db = populated(options);
  MemoryDb other = populated(options);
  const auto clean = db.storage->current_image();
  const auto foreign = other.storage->current_image();
  std::uint8_t published = db.instance->published().slot;
  // Every slot of ours replaced in turn by every slot of theirs.
  for (std::size_t ours = 0; ours < kRecordSlotCount; ++ours) {
    for (std::size_t theirs = 0; theirs < kRecordSlotCount; ++theirs) {
      auto image = clean;
      std::copy_n(foreign.begin() + record_slot_offset(theirs), kRecordSize,
                  image.begin() + record_slot_offset(ours));
      auto got = open_image(image, options);
      if (!got) continue;
      // Recovery went on with our own records; theirs took no part.
      EXPECT_FALSE(got->instance->published().record == other.instance->published().record);
      auto content = read_all(*got);
      ASSERT_TRUE(content) << content.error().to_string();
      EXPECT_TRUE(is_committed_state(*content)) << ours << " <- " << theirs;
    }
  }
  // Our published record copied into the other two slots: its MAC is bound
  // to its slot, so the copies are dropped and the original still rules.
  for (std::size_t to = 0; to < kRecordSlotCount; ++to) {
    if (to == published) continue;
    auto image = clean;
    std::copy_n(clean.begin() + record_slot_offset(published), kRecordSize,
                image.begin() + record_slot_offset(to));
    auto got = open_image(image, options);
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(got->instance->published().slot, published);
  }
}

// ---- Changing the secret -----------------------------------------------

bool any_slot_opens_with(const MemoryDb& db, const Credential& secret) {
  auto head = head::read_head(*db.storage);
  EXPECT_TRUE(head);
  keys::KeyBlockOpener opener(secret, db.instance->file_id(), db.instance->cipher());
  for (const SlotContent& slot :
       head::parse_slots(*head, db.instance->cipher(), db.instance->page_size())) {
    if (!slot.valid()) continue;
    auto opened = opener.open(slot.record.key_block);
    EXPECT_TRUE(opened);
    if (opened && opened->has_value()) return true;
  }
  return false;
}

TEST(KeyChange, old_secret_opens_nothing_afterwards_not_even_older_slots) {
  for (bool to_password : {false, true}) {
    MemoryDb db = populated(options_with(password("old password")));
    Credential next = to_password ? password("new password") : key_credential(9);
    ASSERT_TRUE(any_slot_opens_with(db, password("old password")));
    auto changed = keys::set_secret(db.instance, nullptr, next);
    ASSERT_TRUE(changed) << changed.error().to_string();

    EXPECT_FALSE(any_slot_opens_with(db, password("old password")));
    auto image = db.storage->current_image();
    auto old_open = open_image(image, options_with(password("old password")));
    ASSERT_FALSE(old_open);
    EXPECT_EQ(old_open.error().kind(), ErrorKind::WrongKey);
    auto new_open = open_image(image, options_with(next));
    ASSERT_TRUE(new_open) << new_open.error().to_string();
    EXPECT_TRUE(*read_all(*new_open) == expected_content());
    // The data key did not change, so no page was rewritten for it.
    EXPECT_TRUE(
        new_open->instance->file_keys()->data_key.same_as(db.instance->file_keys()->data_key));
  }
}

// A power loss at any write or sync of a key change: the old key or the new
// one opens the file, and whichever does finds all of it.
TEST(KeyChange, power_loss_at_each_step_leaves_a_file_one_of_the_keys_opens_whole) {
  auto image = populated(options_with(key_credential(1))).storage->current_image();
  bool finished = false;
  std::uint64_t k = 0;
  for (; !finished; ++k) {
    auto db = open_image(image, options_with(key_credential(1)));
    ASSERT_TRUE(db);
    db->storage->power_off_after(k);
    finished = bool(keys::set_secret(db->instance, nullptr, key_credential(9)));
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
      auto crashed = db->storage->crash_image(db->storage->random_crash_plan(seed + 5 * k));
      int opened = 0;
      for (std::uint8_t key : {1, 9}) {
        auto reopened = open_image(crashed, options_with(key_credential(key)));
        if (!reopened) continue;
        ++opened;
        EXPECT_TRUE(*read_all(*reopened) == expected_content()) << k << ", key " << int(key);
      }
      EXPECT_GT(opened, 0) << "crash after operation " << k << ", plan " << seed;
    }
  }
  // The change took several commits, each a crash point.
  EXPECT_GT(k, 8u);
}

// A power loss that keeps a key change's record but none of the pages of
// the deferred commit before it: recovery clears that record (its commit is
// not whole), so the new key opens no record of the file it leaves, and the
// open refuses it before recovery writes anything; the old key opens the
// file whole, and the new key is refused again after that.
TEST(KeyChange, new_key_whose_record_recovery_clears_is_wrong_key) {
  MemoryDb db = populated(options_with(key_credential(1)));
  {
    auto w = WriteTxn::begin(db.instance).value();
    for (int i = 0; i < 30; ++i)
      ASSERT_TRUE(w->put(b("deferred"), b("k" + std::to_string(i)), b(std::string(100, 'q'))));
    ASSERT_TRUE(w->commit_deferred());
  }
  // The key change's record is written; its sync is not made.
  db.storage->power_off_after(1);
  ASSERT_FALSE(keys::set_secret(db.instance, nullptr, key_credential(9)));
  CrashPlan plan = CrashPlan::keep_none(db.storage->pending_count());
  plan.applied.back() = true;
  const auto crashed = db.storage->crash_image(plan);

  auto with_new = open_image(crashed, options_with(key_credential(9)));
  ASSERT_FALSE(with_new);
  EXPECT_EQ(with_new.error().kind(), ErrorKind::WrongKey);
  auto with_old = open_image(crashed, options_with(key_credential(1)));
  ASSERT_TRUE(with_old) << with_old.error().to_string();
  EXPECT_TRUE(*read_all(*with_old) == expected_content());
  auto left = with_old->storage->current_image();
  with_old->instance.reset();
  auto again = open_image(left, options_with(key_credential(9)));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), ErrorKind::WrongKey);
}

TEST(KeyChange, new_password_uses_the_instances_hashing_parameters) {
  OpenOptions options = options_with(key_credential(1));
  options.password_hashing = {128, 2, 2};
  MemoryDb db = populated(options);
  ASSERT_TRUE(keys::set_secret(db.instance, nullptr, password("pw")));
  auto block = db.instance->published().record.key_block;
  auto header = keys::read_key_block_header(block);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->hashing, (PasswordHashing{128, 2, 2}));
}

TEST(KeyChange, plain_file_and_empty_password_are_refused) {
  MemoryDb plain = create(OpenOptions{});
  auto refused = keys::set_secret(plain.instance, nullptr, key_credential(1));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(),
            "`/mem/e.db` is not encrypted; copying it into an encrypted database is the way to "
            "encrypt it");

  MemoryDb db = populated(options_with(key_credential(1)));
  auto empty = keys::set_secret(db.instance, nullptr, password(""));
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().to_string(), "the password is empty");
  EXPECT_TRUE(any_slot_opens_with(db, key_credential(1)));
}

// A disk that acknowledges writes to one commit-record slot but keeps the
// old bytes there: the old key block can never be pushed out.
class SlotIgnoringStorage final : public Storage {
 public:
  SlotIgnoringStorage(std::unique_ptr<FaultStorage> inner, std::size_t slot)
      : inner_(std::move(inner)), slot_(slot) {}
  const std::string& path() const override { return inner_->path(); }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    return inner_->read_at(offset, out);
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    if (offset == record_slot_offset(slot_)) return ok();
    return inner_->write_at(offset, data);
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override {
    return inner_->write_vectored_at(offset, buffers);
  }
  Status sync() override { return inner_->sync(); }
  Result<std::uint64_t> len_or_error() override { return inner_->len_or_error(); }
  Status set_len(std::uint64_t length) override { return inner_->set_len(length); }

 private:
  std::unique_ptr<FaultStorage> inner_;
  std::size_t slot_;
};

TEST(KeyChange, old_block_that_will_not_leave_is_an_internal_error) {
  OpenOptions options = options_with(key_credential(1));
  MemoryDb db = populated(options);
  std::size_t stuck = (db.instance->published().slot + 1) % kRecordSlotCount;
  auto storage = std::make_unique<SlotIgnoringStorage>(
      std::make_unique<FaultStorage>("/mem/e.db", db.storage->current_image()), stuck);
  auto instance = Database::open_existing(std::move(storage), options);
  ASSERT_TRUE(instance) << instance.error().to_string();
  auto changed = keys::set_secret(*instance, nullptr, key_credential(2));
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().to_string(),
            "internal error, which is a bug in DeziRO: the old key block outlived the commits "
            "meant to replace it");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
