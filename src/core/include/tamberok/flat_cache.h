// FlatCache: the hash table behind the per-thread key cache of character
// validation, where every decode looks up several entries. Entries carry
// their own keys and live in one vector; an open-addressing array of
// (hash tag, entry index) slots finds them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tamberok/hash.h"

namespace tamberok {

// An open-addressing hash table of cache entries, each holding its own key:
// one probe into a flat slot array and one entry, where a node-based map
// chases a bucket, a node and a separately allocated value. `find` is given
// the hash and a test of an entry's key, so a hash collision costs a compare
// and never a wrong entry. Entries only come and go all together.
template <typename Entry>
class FlatCache {
 public:
  template <typename SameKey>
  const Entry* find(uint64_t hash, SameKey same_key) const {
    if (slots_.empty()) return nullptr;
    size_t mask = slots_.size() - 1;
    for (size_t i = home(hash);; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.index == 0) return nullptr;
      if (slot.tag == static_cast<uint32_t>(hash)) {
        const Entry& entry = entries_[slot.index - 1];
        if (same_key(entry)) return &entry;
      }
    }
  }

  // Adds an entry whose key `find` has just missed. References to entries
  // stay valid until the next insertion or clear.
  const Entry& insert(uint64_t hash, Entry entry) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    entries_.push_back(std::move(entry));
    hashes_.push_back(hash);
    place(hash, static_cast<uint32_t>(entries_.size()));
    return entries_.back();
  }

  // Empties the cache; the memory it holds stays for the next entries.
  void clear() {
    slots_.clear();
    entries_.clear();
    hashes_.clear();
  }

  // Room for `entries` entries without a reallocation; no-op once there.
  void reserve(size_t entries) {
    entries_.reserve(entries);
    hashes_.reserve(entries);
    slots_.reserve(std::bit_ceil(entries * 2));
  }

  size_t size() const { return entries_.size(); }

 private:
  struct Slot {
    uint32_t tag = 0;    // the hash's lower half
    uint32_t index = 0;  // entry index + 1; 0 for a free slot
  };

  // A multiplicative hash mixes its upper bits best, so they pick the slot.
  size_t home(uint64_t hash) const { return static_cast<size_t>(hash >> shift_); }

  void place(uint64_t hash, uint32_t index) {
    size_t mask = slots_.size() - 1;
    size_t i = home(hash);
    while (slots_[i].index != 0) i = (i + 1) & mask;
    slots_[i] = {static_cast<uint32_t>(hash), index};
  }

  void grow() {
    size_t capacity = std::max<size_t>(16, slots_.size() * 2);
    slots_.assign(capacity, Slot{});
    shift_ = 64 - std::countr_zero(capacity);
    for (size_t e = 0; e < entries_.size(); ++e) place(hashes_[e], static_cast<uint32_t>(e + 1));
  }

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::vector<uint64_t> hashes_;  // per entry, to place it again on growth
  int shift_ = 64;
};

}  // namespace tamberok
