// Structures built on first use and shared by every thread, without locks.
//
// Nothing that is built lazily and shared between threads is guarded by a
// mutex or a once flag: a fork() while another thread holds one leaves the
// child's copy locked for good, and the child hangs on its first decode.
// Instead the first callers each build the value and publish it with one
// compare-and-swap; the first to publish wins and the others drop theirs.
// A child forked at any moment finds each value complete or absent, never
// half made, and builds what is absent itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace tamberok {

// The value in `slot`, made by build() (a std::unique_ptr<const T>) when
// there is none yet. A thread that loses the race drops its own build.
template <typename T, typename Build>
const T& publish_once(std::atomic<const T*>& slot, Build&& build) {
  if (const T* ready = slot.load(std::memory_order_acquire)) return *ready;
  std::unique_ptr<const T> built = build();
  const T* expected = nullptr;
  if (slot.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return *built.release();
  }
  return *expected;
}

// One lazily built value, owned by the cell and freed with it.
template <typename T>
class LazyCell {
 public:
  LazyCell() = default;
  ~LazyCell() { delete value_.load(std::memory_order_acquire); }
  LazyCell(const LazyCell&) = delete;
  LazyCell& operator=(const LazyCell&) = delete;

  // build() returns a std::unique_ptr to T (or to a type derived from T).
  template <typename Build>
  const T& get(Build&& build) const {
    return publish_once(value_, [&] { return std::unique_ptr<const T>(build()); });
  }

 private:
  mutable std::atomic<const T*> value_{nullptr};
};

// A constant-initialised object whose destructor never runs, for statics
// that threads may read while the process exits: exit handlers destroy
// ordinary statics while pool workers and daemon threads still run.
template <typename T>
union NoDestroy {
  constexpr NoDestroy() : value() {}
  ~NoDestroy() {}
  T value;
};

// An array of `count` atomic slots, all zero (null), allocated zeroed by the
// system: the pages of a part never used cost nothing.
template <typename T>
class ZeroedSlots {
 public:
  explicit ZeroedSlots(size_t count) : count_(count) {
    void* memory = std::calloc(std::max<size_t>(count, 1), sizeof(std::atomic<T>));
    if (memory == nullptr) throw std::bad_alloc();
    slots_.reset(static_cast<std::atomic<T>*>(memory));
  }
  std::atomic<T>& operator[](size_t i) const { return slots_[i]; }
  size_t size() const { return count_; }

 private:
  struct Free {
    void operator()(std::atomic<T>* slots) const { std::free(slots); }
  };
  std::unique_ptr<std::atomic<T>[], Free> slots_;
  size_t count_;
};

// A hash table of fixed capacity whose slots only ever go from empty to a
// final word, each with one compare-and-swap: shared by all threads without
// a lock. The words are the caller's (non-zero; typically a pointer to an
// entry that holds its own key, or a row index with a hash tag), and the
// caller tells whether a word belongs to the key it looks for. The slot
// array is allocated zeroed by the system, so the pages of an unused part
// cost nothing.
class PublishedSlots {
 public:
  // Room for `keys` keys at a load of at most one half.
  explicit PublishedSlots(size_t keys)
      : slots_(std::bit_ceil(std::max<size_t>(keys, 8) * 2)),
        mask_(slots_.size() - 1),
        shift_(64 - std::countr_zero(slots_.size())),
        limit_(slots_.size() / 2) {}

  // The first word of the key's probe sequence that same(word) accepts, or
  // 0 when an empty slot ends the sequence first.
  template <typename Same>
  uint64_t find(uint64_t hash, Same&& same) const {
    for (size_t i = home(hash);; i = (i + 1) & mask_) {
      uint64_t word = slots_[i].load(std::memory_order_acquire);
      if (word == 0) return 0;
      if (same(word)) return word;
    }
  }

  // Adds `word` for its key unless same() accepts a word already there.
  // Returns the word the table holds for the key: `word`, an earlier one,
  // or 0 when the table is full and took nothing (the caller then keeps
  // its own build to itself).
  template <typename Same>
  uint64_t insert(uint64_t hash, uint64_t word, Same&& same) const {
    for (size_t i = home(hash);; i = (i + 1) & mask_) {
      uint64_t seen = slots_[i].load(std::memory_order_acquire);
      while (seen == 0) {
        if (used_.fetch_add(1, std::memory_order_relaxed) >= limit_) {
          used_.fetch_sub(1, std::memory_order_relaxed);
          return 0;
        }
        if (slots_[i].compare_exchange_strong(seen, word, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
          return word;
        }
        used_.fetch_sub(1, std::memory_order_relaxed);  // another thread took the slot
      }
      if (same(seen)) return seen;
    }
  }

  // Every word in the table, for freeing what the words point to.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (size_t i = 0; i <= mask_; ++i) {
      if (uint64_t word = slots_[i].load(std::memory_order_acquire)) visit(word);
    }
  }

 private:
  // Multiplicative hashes mix their upper bits best, so those pick the slot.
  size_t home(uint64_t hash) const { return static_cast<size_t>(hash >> shift_) & mask_; }

  ZeroedSlots<uint64_t> slots_;
  size_t mask_;
  int shift_;
  size_t limit_;
  mutable std::atomic<size_t> used_{0};
};

}  // namespace tamberok
