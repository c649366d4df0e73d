// A set of element ids: a bit per id for the small ids every element has,
// a hash set for any other, so that filling one per pass allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "tamberok/hash.h"

namespace tamberok {

class ElementSet {
 public:
  // Whether the id was new.
  bool insert(int32_t id) {
    if (id >= 0 && id < FLAT) {
      uint64_t& word = bits_[static_cast<size_t>(id) / 64];
      uint64_t bit = uint64_t{1} << (id % 64);
      bool added = (word & bit) == 0;
      word |= bit;
      return added;
    }
    return other_.insert(id).second;
  }

  bool contains(int32_t id) const {
    if (id >= 0 && id < FLAT) {
      return (bits_[static_cast<size_t>(id) / 64] >> (id % 64)) & 1;
    }
    return other_.contains(id);
  }

 private:
  static constexpr int32_t FLAT = 1024;
  std::array<uint64_t, FLAT / 64> bits_{};
  std::unordered_set<int32_t, FxHash> other_;
};

}  // namespace tamberok
