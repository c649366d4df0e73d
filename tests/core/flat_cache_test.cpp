// FlatCache: an entry is found by its hash and its own key, never another's.
#include "tamberok/flat_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tamberok {
namespace {

struct Named {
  std::string key;
  int value = 0;
};

const Named* find_named(const FlatCache<Named>& cache, uint64_t hash, const std::string& key) {
  return cache.find(hash, [&](const Named& entry) { return entry.key == key; });
}

TEST(FlatCache, EntriesAreFoundByTheirOwnKeysWhateverTheirHashesShare) {
  struct Case {
    const char* name;
    uint64_t (*hash)(int);
  };
  const Case cases[] = {
      {"one hash for all", [](int) -> uint64_t { return 42; }},
      {"one home slot, tags apart", [](int i) -> uint64_t { return static_cast<uint64_t>(i); }},
      {"tags alike, homes apart",
       [](int i) -> uint64_t {
         return (static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ULL) & ~uint64_t{0xFFFFFFFF};
       }},
      {"homes at the end of the slots",
       [](int i) -> uint64_t { return ~uint64_t{0} - static_cast<uint64_t>(i % 3); }},
  };
  constexpr int COUNT = 300;  // enough to grow the slot array several times
  for (const Case& c : cases) {
    FlatCache<Named> cache;
    for (int i = 0; i < COUNT; ++i) {
      std::string key = "k" + std::to_string(i);
      ASSERT_EQ(find_named(cache, c.hash(i), key), nullptr) << c.name << " " << key;
      EXPECT_EQ(cache.insert(c.hash(i), {key, i}).value, i) << c.name;
    }
    EXPECT_EQ(cache.size(), static_cast<size_t>(COUNT)) << c.name;
    for (int i = COUNT - 1; i >= 0; --i) {
      std::string key = "k" + std::to_string(i);
      const Named* found = find_named(cache, c.hash(i), key);
      ASSERT_NE(found, nullptr) << c.name << " " << key;
      EXPECT_EQ(found->value, i) << c.name << " " << key;
      EXPECT_EQ(find_named(cache, c.hash(i), key + "x"), nullptr) << c.name << " " << key;
    }
    cache.clear();
    EXPECT_EQ(cache.size(), 0u) << c.name;
    EXPECT_EQ(find_named(cache, c.hash(7), "k7"), nullptr) << c.name;
    EXPECT_EQ(cache.insert(c.hash(7), {"k7", 70}).value, 70) << c.name;
    ASSERT_NE(find_named(cache, c.hash(7), "k7"), nullptr) << c.name;
    EXPECT_EQ(find_named(cache, c.hash(7), "k7")->value, 70) << c.name;
  }
}

}  // namespace
}  // namespace tamberok
