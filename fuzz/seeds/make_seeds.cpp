// Writes the seed corpus of every fuzz target into the folder it is given,
// one subfolder per target, from real data made by the engine: records,
// keys and the stored schema of a small database, its pages and head, the
// whole files, and queries over it as text and in the intermediate form.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "database.hpp"
#include "format/node.hpp"
#include "format/object/names.hpp"
#include "query/ir.hpp"
#include "query/parse.hpp"
#include "support/commit_check.hpp"
#include "support/fuzz_support.hpp"
#include "support/query_world.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

using namespace deziro;
namespace stdfs = std::filesystem;

namespace {

class Corpus {
 public:
  explicit Corpus(stdfs::path root) : root_(std::move(root)) {}

  void add(const std::string& target, std::span<const std::uint8_t> bytes,
           std::uint8_t prefix_byte = 0, bool prefixed = false) {
    const stdfs::path dir = root_ / target;
    stdfs::create_directories(dir);
    std::ofstream out(dir / ("seed-" + std::to_string(count_[target]++)), std::ios::binary);
    if (prefixed) out.put(static_cast<char>(prefix_byte));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

 private:
  stdfs::path root_;
  std::map<std::string, int> count_;
};

ByteView view_of(const std::string& s) { return bytes_of(s); }

// A file with a long value in an overflow run and a tree deep enough for a
// branch, besides the world's trees.
void add_long_values(const fuzz::WorldDb& db) {
  auto w = WriteTxn::begin(db.instance);
  if (!w) fuzz::failure("a write begins", w.error().to_string());
  Status s = (*w)->put(bytes_of("long"), bytes_of("value"), std::vector<std::uint8_t>(9000, 7));
  for (int i = 0; s && i < 300; ++i)
    s = (*w)->put(bytes_of("many"), bytes_of("key-" + std::to_string(i * 7919 % 1000)),
                  bytes_of("v"));
  if (s) s = (*w)->commit();
  if (!s) fuzz::failure("the long values are written", s.error().to_string());
}

void add_file(Corpus& corpus, const fuzz::WorldDb& db) {
  const std::vector<std::uint8_t> image = db.storage->current_image();
  corpus.add("fuzz_open_file", image);
  corpus.add("fuzz_head", std::span(image).first(kHeadSize));
  const std::size_t page_size = kMinPageSize;
  for (std::size_t p = 1; p * page_size + page_size <= image.size(); p += 3)
    corpus.add("fuzz_node_page", std::span(image).subspan(p * page_size, page_size), 0, true);

  auto txn = ReadTxn::begin(db.instance);
  if (!txn) fuzz::failure("a snapshot begins", txn.error().to_string());
  auto trees = testing::read_all_trees(txn->source(), txn->record());
  if (!trees) fuzz::failure("the trees read", trees.error().to_string());
  const names::TreeName items_tree = names::record_tree_name(1);
  for (const auto& [name, entries] : *trees) {
    const bool items = std::ranges::equal(view_of(name), items_tree.bytes());
    int taken = 0;
    for (const auto& [key, value] : entries) {
      if (taken++ % 9 != 0) continue;
      std::vector<std::uint8_t> pair{static_cast<std::uint8_t>(key.size() + 1)};
      pair.insert(pair.end(), key.begin(), key.end());
      pair.insert(pair.end(), key.rbegin(), key.rend());
      corpus.add("fuzz_key_codec", pair);
      if (items) corpus.add("fuzz_record_codec", view_of(value));
      if (key == names::kSchemaKey) corpus.add("fuzz_stored_schema", view_of(value));
    }
  }
}

void add_queries(Corpus& corpus) {
  for (const std::string& text : fuzz::world_queries()) {
    corpus.add("fuzz_query", view_of(text), 0, true);
    auto parsed = parse::parse_query(text);
    if (!parsed) fuzz::failure("a sample query parses", text);
    auto written = ir::write_query("items", *parsed);
    if (!written) fuzz::failure("a sample query writes", text);
    corpus.add("fuzz_query", *written, 1, true);
  }
  corpus.add("fuzz_query", view_of("rank >= 1 AND city STARTSWITH \"k\" SORT BY name"), 2, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  Corpus corpus(argv[1]);
  add_file(corpus, fuzz::make_world_db(false, 12));
  fuzz::WorldDb indexed = fuzz::make_world_db(true, 20);
  add_long_values(indexed);
  add_file(corpus, indexed);
  add_queries(corpus);
  return 0;
}
