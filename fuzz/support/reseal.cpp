#include "support/reseal.hpp"

#include <cstring>
#include <memory>

#include "btree/overflow.hpp"
#include "crypto/page_protection.hpp"
#include "format/header.hpp"
#include "format/header_bytes.hpp"
#include "format/node.hpp"
#include "format/page.hpp"
#include "format/record.hpp"

namespace deziro::fuzz {
namespace {

constexpr std::size_t kStampOffsetInPointer = 16;
constexpr std::size_t kRunCheckOffset = 28;
constexpr std::size_t kDescriptorRootOffset = 8;
constexpr std::size_t kDescriptorStampOffset = 24;
constexpr std::size_t kDescriptorSize = 56;
constexpr std::size_t kRecordCheckOffset = 496;
constexpr std::size_t kHeaderCheckOffset = 48;

class Resealer {
 public:
  Resealer(std::vector<std::uint8_t>& image, std::uint32_t page_size)
      : image_(image), page_size_(page_size), pages_(image.size() / page_size), stamps_(pages_) {}

  void run() {
    // Each pass settles one more level of parents over their children.
    for (int pass = 0; pass < 12; ++pass) {
      stamp_pages();
      if (!fix_references()) break;
    }
    stamp_pages();
    fix_head();
  }

 private:
  std::uint8_t* page(std::uint64_t n) { return image_.data() + n * page_size_; }

  void stamp_pages() {
    for (std::uint64_t n = 1; n < pages_; ++n) {
      std::span<std::uint8_t> bytes(page(n), page_size_);
      stamps_[n] = page_checksum(n, bytes);
      set_page_trailer(bytes, stamps_[n]);
    }
  }

  // Writes `stamp` at `at`; whether that changed anything.
  static bool put(std::uint8_t* at, const PageStamp& stamp) {
    if (std::memcmp(at, stamp.bytes.data(), stamp.bytes.size()) == 0) return false;
    std::memcpy(at, stamp.bytes.data(), stamp.bytes.size());
    return true;
  }

  // The stamp of page `n` into the reference at `at` when `n` is a page.
  bool refer(std::uint64_t n, std::uint8_t* at) {
    return n > 0 && n < pages_ && put(at, stamps_[n]);
  }

  bool fix_references() {
    bool changed = false;
    for (std::uint64_t n = 1; n < pages_; ++n) {
      std::shared_ptr<std::uint8_t> copy(new std::uint8_t[page_size_],
                                         std::default_delete<std::uint8_t[]>());
      std::memcpy(copy.get(), page(n), page_size_);
      auto view = NodeView::from_page(copy, page_size_);
      if (!view) continue;
      auto in_page = [&](const std::uint8_t* p) { return page(n) + (p - copy.get()); };
      if (!view->is_leaf()) {
        for (std::size_t i = 0; i < view->child_count(); ++i) {
          std::uint8_t* pointer = page(n) + kPageContentOffset + ChildPointer::kSize * i;
          changed |= refer(view->child_at(i).page, pointer + kStampOffsetInPointer);
        }
        continue;
      }
      for (std::size_t i = 0; i < view->count(); ++i) {
        const LeafCell cell = view->cell_at(i);
        if (cell.overflow) {
          const OverflowRef& ref = cell.ref;
          if (ref.first_page == 0 || ref.first_page >= pages_ ||
              ref.page_count > pages_ - ref.first_page)
            continue;
          std::vector<PageStamp> run(stamps_.begin() + ref.first_page,
                                     stamps_.begin() + ref.first_page + ref.page_count);
          std::uint8_t* at = in_page(cell.key.data() + cell.key.size());
          changed |= put(at + kRunCheckOffset, overflow_run_check(run));
        } else if (view->tree_id() == kCatalogTreeId && cell.value.size() == kDescriptorSize) {
          std::uint8_t* at = in_page(cell.value.data());
          changed |= refer(load_u64_le(at + kDescriptorRootOffset), at + kDescriptorStampOffset);
        }
      }
    }
    return changed;
  }

  void fix_head() {
    for (std::size_t slot = 0; slot < kRecordSlotCount; ++slot) {
      std::uint8_t* record = image_.data() + record_slot_offset(slot);
      if (load_u64_le(record) == 0) continue;
      for (std::size_t root : {16, 48, 80})
        refer(load_u64_le(record + root), record + root + kStampOffsetInPointer);
      const auto check = bytes::xxh3_128({record, kRecordCheckOffset});
      std::memcpy(record + kRecordCheckOffset, check.data(), check.size());
    }
    for (std::size_t at : {std::size_t{0}, kStaticHeaderCopyOffset}) {
      std::uint8_t* header = image_.data() + at;
      const auto check = bytes::xxh3_128({header, kHeaderCheckOffset});
      std::memcpy(header + kHeaderCheckOffset, check.data(), check.size());
    }
  }

  std::vector<std::uint8_t>& image_;
  std::uint32_t page_size_;
  std::uint64_t pages_;
  std::vector<PageStamp> stamps_;
};

}  // namespace

void reseal_plain_file(std::vector<std::uint8_t>& image) {
  if (image.size() < kHeadSize) return;
  const std::uint32_t page_size = load_u32_le(image.data() + 12);
  if (!is_valid_page_size(page_size) || image[32] != 0) return;
  Resealer(image, page_size).run();
}

}  // namespace deziro::fuzz
