// Values built on first use and shared by every thread: a reader sees what
// the builder wrote before publishing, and the lock-free table keeps apart
// the keys that share a slot. Run under ThreadSanitizer (make test-tsan), a
// read that is not ordered after the builder's writes is reported as a race.
#include "tamberok/lazy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tamberok {
namespace {

// Contents written by the builder with plain stores, before publication.
struct Built {
  explicit Built(uint64_t seed) {
    for (size_t i = 0; i < words.size(); ++i) words[i] = seed * 1000 + i;
    name = "built by " + std::to_string(seed);
  }
  // The seed every word was made from, or a mismatch marker.
  uint64_t seed() const {
    uint64_t s = words[0] / 1000;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i] != s * 1000 + i) return UINT64_MAX;
    }
    return name == "built by " + std::to_string(s) ? s : UINT64_MAX;
  }
  std::array<uint64_t, 64> words{};
  std::string name;
};

// Waits for `flag` with relaxed loads only, so that the wait itself orders
// nothing: whatever a reader may see afterwards, it owes to the structure
// under test. Fails after 60 s instead of hanging.
bool wait_relaxed(const std::atomic<bool>& flag) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!flag.load(std::memory_order_relaxed)) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::yield();
  }
  return true;
}

// The ways a thread comes to read a value another thread built: it finds it
// already published, it loses the race to publish its own, it looks it up
// in the shared table, or it inserts it there again. Each runs a builder
// thread and a reader thread whose only order is through the structure.
struct Scenario {
  const char* name;
  // Runs on two threads at once; returns the seed of the value each read.
  std::function<uint64_t(int role, std::atomic<bool>& published, std::atomic<bool>& building)> run;
};

// Table entries are Built values, all under one hash, told apart by seed.
constexpr uint64_t TABLE_HASH = 0x9E3779B97F4A7C15ULL;

auto is_built(uint64_t seed) {
  return [seed](uint64_t word) { return reinterpret_cast<const Built*>(word)->seed() == seed; };
}

// Inserts a new Built(seed) unless the table has one; the seed of the entry
// the table then holds, which the comparison has read as well.
uint64_t insert_built(const PublishedSlots& table, uint64_t seed) {
  auto made = std::make_unique<Built>(seed);
  uint64_t word = table.insert(TABLE_HASH, reinterpret_cast<uint64_t>(made.get()), is_built(seed));
  if (word == reinterpret_cast<uint64_t>(made.get())) made.release();
  return word == 0 ? 0 : reinterpret_cast<const Built*>(word)->seed();
}

TEST(LazyValues, AReaderSeesWhatTheBuilderWroteBeforePublishing) {
  std::atomic<const Built*> slot{nullptr};
  LazyCell<Built> cell;
  PublishedSlots found(8);
  PublishedSlots inserted(8);
  const std::vector<Scenario> scenarios = {
      {"a late reader takes the published value",
       [&](int role, std::atomic<bool>& published, std::atomic<bool>&) -> uint64_t {
         if (role == 0) {
           uint64_t seed = cell.get([] { return std::make_unique<Built>(1); }).seed();
           published.store(true, std::memory_order_relaxed);
           return seed;
         }
         if (!wait_relaxed(published)) return 0;
         return cell.get([] { return std::make_unique<Built>(2); }).seed();
       }},
      {"a builder that loses the race takes the winner's value",
       [&](int role, std::atomic<bool>& published, std::atomic<bool>& building) -> uint64_t {
         // The loser starts building first and publishes only after the
         // winner has: it finds the slot empty, then taken.
         if (role == 0) {
           if (!wait_relaxed(building)) return 0;
           uint64_t seed =
               publish_once(slot, [] { return std::make_unique<const Built>(1); }).seed();
           published.store(true, std::memory_order_relaxed);
           return seed;
         }
         return publish_once(slot,
                             [&] {
                               building.store(true, std::memory_order_relaxed);
                               wait_relaxed(published);
                               return std::make_unique<const Built>(2);
                             })
             .seed();
       }},
      {"a table reader finds the entry another thread inserted",
       [&](int role, std::atomic<bool>& published, std::atomic<bool>&) -> uint64_t {
         if (role == 0) {
           uint64_t seed = insert_built(found, 1);
           published.store(true, std::memory_order_relaxed);
           return seed;
         }
         if (!wait_relaxed(published)) return 0;
         uint64_t word = found.find(TABLE_HASH, is_built(1));
         return word == 0 ? 0 : reinterpret_cast<const Built*>(word)->seed();
       }},
      {"a thread inserting a key another thread inserted gets that entry",
       [&](int role, std::atomic<bool>& published, std::atomic<bool>&) -> uint64_t {
         if (role == 0) {
           uint64_t seed = insert_built(inserted, 1);
           published.store(true, std::memory_order_relaxed);
           return seed;
         }
         if (!wait_relaxed(published)) return 0;
         return insert_built(inserted, 1);
       }},
  };
  for (const Scenario& s : scenarios) {
    std::atomic<bool> published{false};
    std::atomic<bool> building{false};
    uint64_t seen[2] = {0, 0};
    std::thread builder([&] { seen[0] = s.run(0, published, building); });
    std::thread reader([&] { seen[1] = s.run(1, published, building); });
    builder.join();
    reader.join();
    EXPECT_EQ(seen[0], 1u) << s.name;
    EXPECT_EQ(seen[1], 1u) << s.name;
  }
  size_t entries = 0;
  inserted.for_each([&](uint64_t) { ++entries; });
  EXPECT_EQ(entries, 1u) << "the second insertion kept the first entry";
  delete slot.load();
  for (const PublishedSlots* table : {&found, &inserted}) {
    table->for_each([](uint64_t word) { delete reinterpret_cast<const Built*>(word); });
  }
}

TEST(LazyValues, ThreadsRacingToBuildOneValueAllReadTheOneThatWasPublished) {
  constexpr size_t THREADS = 8;
  constexpr size_t ROUNDS = 50;
  for (size_t round = 0; round < ROUNDS; ++round) {
    LazyCell<Built> cell;
    std::barrier start(THREADS);
    std::vector<const Built*> seen(THREADS);
    std::vector<uint64_t> seeds(THREADS);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        const Built& value = cell.get([&] { return std::make_unique<Built>(t + 1); });
        seen[t] = &value;
        seeds[t] = value.seed();
      });
    }
    for (std::thread& t : threads) t.join();
    for (size_t t = 0; t < THREADS; ++t) {
      ASSERT_EQ(seen[t], seen[0]) << "round " << round << ", thread " << t;
      ASSERT_EQ(seeds[t], seeds[0]) << "round " << round << ", thread " << t;
    }
    ASSERT_GE(seeds[0], 1u);
    ASSERT_LE(seeds[0], THREADS);
  }
}

// ---- Keys that share a home slot ----------------------------------------------------

// A word of the table: the key above the low byte, a version in it, so that
// two different words can belong to one key.
constexpr uint64_t word_of(uint64_t key, uint64_t version) {
  return (key << 8) | version;
}

// Hashes that differ only in their low bits: the table picks the home slot
// from the upper bits, so all of these share one home in a small table.
constexpr uint64_t SHARED_HOME = 0x5A00000000000000ULL;

TEST(PublishedSlots, KeysWhoseHashesShareAHomeSlotEachKeepTheirOwnWord) {
  PublishedSlots table(8);  // sixteen slots, of which eight may be taken
  auto same_key = [](uint64_t key) { return [key](uint64_t word) { return (word >> 8) == key; }; };
  auto hash_of = [](uint64_t key) { return SHARED_HOME | key; };

  struct Step {
    const char* what;
    bool insert;  // else find
    uint64_t key;
    uint64_t version;  // of the word inserted
    uint64_t expected;
  };
  const std::vector<Step> steps = {
      {"absent before any insertion", false, 1, 0, 0},
      {"first key takes the home slot", true, 1, 1, word_of(1, 1)},
      {"second key, same home: absent", false, 2, 0, 0},
      {"second key takes the next slot", true, 2, 1, word_of(2, 1)},
      {"first key found past nothing", false, 1, 0, word_of(1, 1)},
      {"second key found past the first", false, 2, 0, word_of(2, 1)},
      {"third key, same home: absent", false, 3, 0, 0},
      {"third key probes past both", true, 3, 1, word_of(3, 1)},
      {"third key found past both", false, 3, 0, word_of(3, 1)},
      {"second key inserted again keeps its word", true, 2, 2, word_of(2, 1)},
      {"first key inserted again keeps its word", true, 1, 2, word_of(1, 1)},
      {"third key still its own", false, 3, 0, word_of(3, 1)},
      {"keys 4 to 8 fill the table", true, 4, 1, word_of(4, 1)},
      {"", true, 5, 1, word_of(5, 1)},
      {"", true, 6, 1, word_of(6, 1)},
      {"", true, 7, 1, word_of(7, 1)},
      {"", true, 8, 1, word_of(8, 1)},
      {"a full table takes no new key", true, 9, 1, 0},
      {"and does not hold it", false, 9, 0, 0},
      {"a full table still gives a key it holds", true, 5, 2, word_of(5, 1)},
      {"the last key found past seven others", false, 8, 0, word_of(8, 1)},
      {"the first key still found", false, 1, 0, word_of(1, 1)},
  };
  for (const Step& s : steps) {
    uint64_t got = s.insert
                       ? table.insert(hash_of(s.key), word_of(s.key, s.version), same_key(s.key))
                       : table.find(hash_of(s.key), same_key(s.key));
    EXPECT_EQ(got, s.expected) << (s.insert ? "insert" : "find") << " key " << s.key << ": "
                               << s.what;
  }
  std::vector<uint64_t> words;
  table.for_each([&](uint64_t word) { words.push_back(word); });
  std::sort(words.begin(), words.end());
  std::vector<uint64_t> expected;
  for (uint64_t key = 1; key <= 8; ++key) expected.push_back(word_of(key, 1));
  EXPECT_EQ(words, expected);
}

TEST(PublishedSlots, AProbeThatRunsOffTheLastSlotGoesOnAtTheFirst) {
  PublishedSlots table(8);
  // All upper bits set: the home is the last slot, so the keys after the
  // first wrap around to the start of the table.
  constexpr uint64_t LAST_HOME = 0xFF00000000000000ULL;
  auto same_key = [](uint64_t key) { return [key](uint64_t word) { return (word >> 8) == key; }; };
  for (uint64_t key = 1; key <= 3; ++key) {
    EXPECT_EQ(table.insert(LAST_HOME | key, word_of(key, 1), same_key(key)), word_of(key, 1))
        << key;
  }
  for (uint64_t key = 1; key <= 3; ++key) {
    EXPECT_EQ(table.find(LAST_HOME | key, same_key(key)), word_of(key, 1)) << key;
  }
  EXPECT_EQ(table.find(LAST_HOME | 4, same_key(4)), 0u);
}

}  // namespace
}  // namespace tamberok
