// Ready-made strs and ints for the values that repeat from result to result.
//
// Over a few thousand real VINs a nested result holds about 190 str
// references, but all of them together take only a few thousand distinct
// texts (attribute values, codes, sources, pattern keys, error texts), and
// the ints (pattern, schema and WMI ids, creation times) repeat the same
// way. Handing out one shared immutable object per value instead of a new
// one per reference saves the allocation, the memory the result holds, and
// the work of freeing it again.
//
// Both caches are direct-mapped: a value has one slot, chosen by its hash,
// and a new value takes the slot from whatever was there. Texts that belong
// to one VIN (a suggested VIN, a descriptor) therefore pass through without
// pushing the cache beyond its fixed number of slots, and the cached texts
// together never exceed a fixed number of bytes. Used with the interpreter
// lock held; nothing here runs Python code, so a call never re-enters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ref.h"

namespace tamberok::py {

class TextCache {
 public:
  // At most 2**`log2_slots` texts, of at most `max_text` bytes each and
  // `max_bytes` bytes together.
  TextCache(int log2_slots, size_t max_text, size_t max_bytes);
  ~TextCache();
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;

  // A str equal to the UTF-8 `text`: the cached one, or a new one, which is
  // then cached when it is ASCII and fits.
  Ref get(std::string_view text);

  // Drops every cached str.
  void clear();

  size_t bytes() const { return bytes_; }

 private:
  struct Slot {
    uint64_t hash = 0;
    const char* data = nullptr;  // the str's own characters (ASCII)
    size_t size = 0;
    PyObject* str = nullptr;
  };

  void store(Slot& slot, uint64_t hash, std::string_view text, Ref& str);

  const int shift_;
  const size_t max_text_;
  const size_t max_bytes_;
  size_t bytes_ = 0;
  std::vector<Slot> slots_;  // allocated on first use
};

class IntCache {
 public:
  explicit IntCache(int log2_slots);
  ~IntCache();
  IntCache(const IntCache&) = delete;
  IntCache& operator=(const IntCache&) = delete;

  // An int equal to `value`.
  Ref get(int64_t value);

  void clear();

 private:
  struct Slot {
    int64_t value = 0;
    PyObject* object = nullptr;
  };

  const int shift_;
  std::vector<Slot> slots_;  // allocated on first use
};

}  // namespace tamberok::py
