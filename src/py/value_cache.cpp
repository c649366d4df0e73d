#include "value_cache.h"

#include <cstring>
#include <utility>

#include "objects.h"
#include "tamberok/hash.h"

namespace tamberok::py {

namespace {

// Spreads consecutive ints over the slots; the upper bits pick the slot.
constexpr uint64_t MIX = 0x9E3779B97F4A7C15ULL;

}  // namespace

TextCache::TextCache(int log2_slots, size_t max_text, size_t max_bytes)
    : shift_(64 - log2_slots), max_text_(max_text), max_bytes_(max_bytes) {}

TextCache::~TextCache() {
  clear();
}

Ref TextCache::get(std::string_view text) {
  // CPython keeps its own empty str and strs of one ASCII character.
  if (text.size() <= 1 || text.size() > max_text_) return new_str(text);
  if (slots_.empty()) slots_.resize(size_t{1} << (64 - shift_));
  const uint64_t hash = text_hash(text, 0);
  Slot& slot = slots_[hash >> shift_];
  if (slot.str != nullptr && slot.hash == hash && slot.size == text.size() &&
      std::memcmp(slot.data, text.data(), text.size()) == 0) {
    return Ref::borrow(slot.str);
  }
  Ref str = new_str(text);
  store(slot, hash, text, str);
  return str;
}

void TextCache::store(Slot& slot, uint64_t hash, std::string_view text, Ref& str) {
  // Only ASCII strs hold their UTF-8 bytes as their characters, which the
  // slot compares against without a copy of its own.
  if (PyUnicode_GetLength(str.get()) != static_cast<Py_ssize_t>(text.size())) return;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return;
  }
  if (slot.str != nullptr) {
    bytes_ -= slot.size;
    Py_DECREF(std::exchange(slot.str, nullptr));
  }
  if (bytes_ + text.size() > max_bytes_) return;
  bytes_ += text.size();
  slot = Slot{hash, data, text.size(), Ref::borrow(str.get()).release()};
}

void TextCache::clear() {
  std::vector<Slot> slots = std::move(slots_);
  slots_.clear();
  bytes_ = 0;
  for (Slot& slot : slots) Py_XDECREF(slot.str);
}

IntCache::IntCache(int log2_slots) : shift_(64 - log2_slots) {}

IntCache::~IntCache() {
  clear();
}

Ref IntCache::get(int64_t value) {
  // CPython keeps its own ints from -5 to 256.
  if (value >= -5 && value <= 256) return new_int(value);
  if (slots_.empty()) slots_.resize(size_t{1} << (64 - shift_));
  Slot& slot = slots_[(static_cast<uint64_t>(value) * MIX) >> shift_];
  if (slot.object != nullptr && slot.value == value) return Ref::borrow(slot.object);
  Ref object = new_int(value);
  Py_XDECREF(slot.object);
  slot = Slot{value, Ref::borrow(object.get()).release()};
  return object;
}

void IntCache::clear() {
  std::vector<Slot> slots = std::move(slots_);
  slots_.clear();
  for (Slot& slot : slots) Py_XDECREF(slot.object);
}

}  // namespace tamberok::py
