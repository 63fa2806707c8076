// A tree access over named trees held in memory, for tests of the layers
// above transactions. Several accesses may share one set of trees (one
// "file"); a snapshot copies them, as a read transaction would see them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "txn/tree_access.hpp"

namespace deziro::test {

using Bytes = std::vector<std::uint8_t>;
using MemoryTrees = std::map<std::string, std::map<std::string, Bytes>>;

class MemoryTreeAccess final : public TreeAccess {
 public:
  explicit MemoryTreeAccess(std::shared_ptr<MemoryTrees> trees, std::string path = "/tmp/mem.db")
      : trees_(std::move(trees)), path_(std::move(path)) {}

  // An access over a copy of the trees as they are now.
  static MemoryTreeAccess snapshot_of(const std::shared_ptr<MemoryTrees>& trees) {
    return MemoryTreeAccess(std::make_shared<MemoryTrees>(*trees));
  }

  void put(std::string_view tree, std::string_view key, Bytes value);
  void erase(std::string_view tree, std::string_view key);
  // Counts the reads of stored values, to prove what was not read.
  std::size_t reads() const { return reads_; }
  // Makes every later read fail with this error.
  void fail_reads_with(Error error) { read_error_ = std::move(error); }

  Result<std::optional<Bytes>> open_tree(ByteView tree_name, ByteView key) override;
  Result<bool> get(ByteView tree_name, ByteView key, ValueVisitor visitor) override;
  Result<std::optional<RangeCursor>> range(ByteView, const KeyBound&, const KeyBound&, bool) override {
    return std::nullopt;
  }
  Result<std::uint64_t> tree_len(ByteView tree_name) override;
  Result<std::unique_ptr<TreeReader>> tree_reader(ByteView) override { return nullptr; }
  Error error_at(std::string message) const override {
    return Error::corrupted(path_, std::move(message));
  }
  const std::string& path() const override { return path_; }
  Result<bool> stored_schema_equals(ByteView stored) override;
  std::size_t max_key_len() const override { return (4096 - 268) / 4; }

 private:
  const Bytes* find(ByteView tree_name, ByteView key) const;

  std::shared_ptr<MemoryTrees> trees_;
  std::string path_;
  std::size_t reads_ = 0;
  std::optional<Error> read_error_;
};

}  // namespace deziro::test
