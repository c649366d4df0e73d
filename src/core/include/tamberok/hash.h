// FxHasher: the small multiplicative hash of the core's maps and sets.
// Per 64-bit word or byte: h = (rotl(h, 5) ^ word) * 0x517cc1b727220a95,
// wrapping, starting from 0. A text is hashed byte by byte and then one 0xFF
// byte, so that "ab" + "c" and "a" + "bc" differ when texts are combined.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tamberok {

class FxHasher {
 public:
  static constexpr uint64_t SEED = 0x517cc1b727220a95ULL;

  void add(uint64_t word) { hash_ = (std::rotl(hash_, 5) ^ word) * SEED; }
  void add_text(std::string_view text) {
    for (unsigned char c : text) add(c);
    add(0xFF);
  }
  uint64_t finish() const { return hash_; }

 private:
  uint64_t hash_ = 0;
};

// The hash of a text and one more word, taking the text a word at a time
// where FxHash takes it byte by byte. Its upper bits pick a slot in the
// tables that use it, so they are mixed with the lower ones at the end:
// texts that differ only in their last bytes land in different slots.
inline uint64_t text_hash(std::string_view text, uint64_t extra) {
  FxHasher h;
  size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    h.add(word);
  }
  uint64_t tail = 0;
  if (at < text.size()) std::memcpy(&tail, text.data() + at, text.size() - at);
  h.add(tail);
  h.add(text.size());
  h.add(extra);
  const uint64_t mixed = h.finish();
  return (mixed ^ (mixed >> 32)) * 0x9E3779B97F4A7C15ULL;
}

// The hash of an integer key for the tables whose upper bits pick the slot.
inline uint64_t int_hash(int32_t key) {
  return (uint64_t{static_cast<uint32_t>(key)} + 1) * 0x9E3779B97F4A7C15ULL;
}

// Hash functor for std::unordered_map / std::unordered_set keys.
struct FxHash {
  using is_transparent = void;
  size_t operator()(int32_t key) const {
    FxHasher h;
    h.add(static_cast<uint32_t>(key));
    return h.finish();
  }
  size_t operator()(uint32_t key) const {
    FxHasher h;
    h.add(key);
    return h.finish();
  }
  size_t operator()(std::string_view text) const {
    FxHasher h;
    h.add_text(text);
    return h.finish();
  }
  size_t operator()(const std::string& text) const { return (*this)(std::string_view(text)); }
};

}  // namespace tamberok
