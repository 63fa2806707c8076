// A bounded free list of equal blocks, one per thread, for memory that
// comes and goes by the thousand (page buffers, cached nodes): a block a
// thread frees waits there for the next block of the same shape it asks
// for, instead of the allocator's bookkeeping on memory long untouched.
//
// `Shape` says what makes two blocks interchangeable (their size, and
// their alignment where it matters): it is equality-comparable and frees a
// block of its shape with `shape.free(block)`. The list holds blocks of one
// shape at a time, that of the first block kept into it when it was empty;
// a block of another shape goes back to the allocator. Under the address
// sanitizer nothing is kept, so that it sees every block freed.
//
// Declare one `thread_local`: its destructor frees what it holds when the
// thread ends, and a block freed after that (by a destructor that runs
// later) goes straight back to the allocator.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "sanitizers.hpp"

namespace deziro {

template <class Shape, std::size_t kMaxBlocks, std::size_t kMaxBytes = ~std::size_t(0)>
class SpareBlocks {
 public:
  static constexpr bool kKeeps = !kAddressSanitizer;

  SpareBlocks() = default;
  SpareBlocks(const SpareBlocks&) = delete;
  SpareBlocks& operator=(const SpareBlocks&) = delete;
  ~SpareBlocks() {
    for (std::size_t i = 0; i < count_; ++i) shape_.free(blocks_[i]);
    count_ = 0;
    gone_ = true;
  }

  // A kept block of `shape`, or null.
  void* take(const Shape& shape) {
    if (!kKeeps || count_ == 0 || !(shape_ == shape)) return nullptr;
    return blocks_[--count_];
  }

  // Keeps `block`, of `shape` and `bytes` long, if there is room for it;
  // false when the caller must free it.
  bool keep(void* block, const Shape& shape, std::size_t bytes) {
    if (!kKeeps || gone_) return false;
    if (count_ == 0) shape_ = shape;
    if (!(shape_ == shape) || count_ >= kMaxBlocks || (count_ + 1) * bytes > kMaxBytes)
      return false;
    blocks_[count_++] = block;
    return true;
  }

  // A kept block of `shape`, else a new one (`shape.allocate()`).
  void* take_or_allocate(const Shape& shape) {
    if (void* kept = take(shape)) return kept;
    return shape.allocate();
  }

  // Keeps `block` as keep() does, else frees it (`shape.free(block)`).
  void keep_or_free(void* block, const Shape& shape, std::size_t bytes) noexcept {
    if (!keep(block, shape, bytes)) shape.free(block);
  }

  // How many blocks of `shape` are kept.
  std::size_t count(const Shape& shape) const { return shape_ == shape ? count_ : 0; }
  std::size_t count() const { return count_; }

 private:
  Shape shape_{};
  std::size_t count_ = 0;
  std::array<void*, kMaxBlocks> blocks_{};
  bool gone_ = false;
};

// Blocks of one size from the allocator, freed with that size.
struct SizedBlockShape {
  std::size_t size = 0;
  void* allocate() const { return ::operator new(size); }
  void free(void* block) const { ::operator delete(block, size); }
  bool operator==(const SizedBlockShape&) const = default;
};

// An allocator for node-based containers (a std::set of page numbers) whose
// nodes come and go by the dozen each transaction: a freed node waits in
// its thread's list for the next node, as above. The list is that of the
// container's element type, `Family`, whatever type the container rebinds
// the allocator to for its nodes. Stateless: any two are equal, and a node
// may be freed on another thread than the one that made it (it then waits
// there).
template <class T, std::size_t kMaxBlocks = 64, class Family = T>
struct SpareNodeAllocator {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  using value_type = T;
  template <class U>
  struct rebind {
    using other = SpareNodeAllocator<U, kMaxBlocks, Family>;
  };

  SpareNodeAllocator() = default;
  template <class U>
  SpareNodeAllocator(const SpareNodeAllocator<U, kMaxBlocks, Family>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n == 1) return static_cast<T*>(spares().take_or_allocate({sizeof(T)}));
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t n) noexcept {
    if (n == 1) {
      spares().keep_or_free(block, {sizeof(T)}, sizeof(T));
    } else {
      ::operator delete(block, n * sizeof(T));
    }
  }
  friend bool operator==(const SpareNodeAllocator&, const SpareNodeAllocator&) { return true; }

  // The blocks the calling thread keeps for the family's nodes. For tests.
  static std::size_t spare_count() { return spares().count(); }

 private:
  static SpareBlocks<SizedBlockShape, kMaxBlocks>& spares() {
    return SpareNodeAllocator<Family, kMaxBlocks, Family>::family_spares();
  }
  template <class, std::size_t, class>
  friend struct SpareNodeAllocator;
  static SpareBlocks<SizedBlockShape, kMaxBlocks>& family_spares() {
    thread_local SpareBlocks<SizedBlockShape, kMaxBlocks> kept;
    return kept;
  }
};

// A bounded list of emptied vectors, one per thread, for lists of a few
// hundred elements that a transaction makes and drops by the dozen: a
// vector given back keeps its buffer for the next list of its capacity.
// The capacity a list is taken with depends only on the size asked for
// (rounded up to a multiple of `kGranule` elements), never on what was kept
// before: whoever counts it (a write transaction's memory estimate) counts
// the same whatever ran on the thread earlier. At most `kMaxLists` lists
// of at most `kMaxBytes` each are kept; the rest is freed. Under the address
// sanitizer nothing is kept. Declare one `thread_local`, as SpareBlocks.
template <class T, std::size_t kGranule, std::size_t kMaxLists, std::size_t kMaxBytes>
class SpareLists {
 public:
  static constexpr bool kKeeps = !kAddressSanitizer;

  SpareLists() = default;
  SpareLists(const SpareLists&) = delete;
  SpareLists& operator=(const SpareLists&) = delete;
  ~SpareLists() {
    for (std::size_t i = 0; i < count_; ++i) std::vector<T>().swap(lists_[i]);
    count_ = 0;
    gone_ = true;
  }

  // The capacity of a list taken for `n` elements.
  static constexpr std::size_t capacity_for(std::size_t n) {
    return (n + kGranule - 1) / kGranule * kGranule;
  }

  // An empty vector with room for exactly capacity_for(n) elements: a kept
  // one of that capacity, or a new one.
  std::vector<T> take(std::size_t n) {
    const std::size_t capacity = capacity_for(n);
    std::vector<T> list;
    for (std::size_t i = count_; i-- > 0;) {
      if (lists_[i].capacity() != capacity) continue;
      list = std::move(lists_[i]);
      if (i != --count_) lists_[i] = std::move(lists_[count_]);
      return list;
    }
    list.reserve(capacity);
    return list;
  }

  // Empties `list` and keeps its buffer. When the lists are all taken, it
  // takes the place of one kept earlier, in turn: lists of a size no longer
  // asked for do not hold every place for good.
  void keep(std::vector<T>& list) noexcept {
    list.clear();
    if (!kKeeps || gone_ || list.capacity() == 0 || list.capacity() * sizeof(T) > kMaxBytes) return;
    if (count_ < kMaxLists) {
      lists_[count_++] = std::move(list);
      return;
    }
    next_out_ = (next_out_ + 1) % kMaxLists;
    lists_[next_out_].swap(list);
  }

  std::size_t count() const { return count_; }

 private:
  std::size_t count_ = 0;
  std::size_t next_out_ = 0;  // the last place taken over
  std::array<std::vector<T>, kMaxLists> lists_{};
  bool gone_ = false;
};

}  // namespace deziro
