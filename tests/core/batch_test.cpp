// The worker pool, the process-wide pool slot and the worker count rule.
#include "tamberok/batch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <latch>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "decoder_fixture.h"
#include "support.h"
#include "tamberok/panic.h"
#include "tamberok/tamberok.h"

#if defined(__SANITIZE_THREAD__)
#define TAMBEROK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAMBEROK_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAMBEROK_ASAN 1
#endif

// Skips a test that starts threads in a child forked while the pool's
// workers run. ThreadSanitizer does not support that at all. GCC's
// AddressSanitizer allocator takes no lock around fork, so a parent worker
// that held one of its region locks leaves it held in the child, whose new
// threads then wait forever; the C library's allocator, which the real
// module uses, is made consistent across fork, and the plain build runs it.
#if defined(TAMBEROK_TSAN)
#define SKIP_WHERE_CHILD_THREADS_HANG() \
  GTEST_SKIP() << "ThreadSanitizer does not support starting threads after a multi-threaded fork"
#elif defined(TAMBEROK_ASAN)
#define SKIP_WHERE_CHILD_THREADS_HANG() \
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe while other threads allocate"
#else
#define SKIP_WHERE_CHILD_THREADS_HANG() (void)0
#endif

namespace tamberok {
namespace {

// Work of `rounds` steps that the compiler cannot drop.
void spin(size_t rounds) {
  uint64_t x = rounds;
  for (size_t k = 0; k < rounds; ++k) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
  volatile uint64_t sink = x;
  (void)sink;
}

// Uneven work, so that chunks finish out of order.
uint64_t busy(size_t i) {
  spin((i % 7) * 50);
  return i;
}

TEST(WorkerPool, ResultsKeepInputOrderForManyMoreItemsThanWorkers) {
  WorkerPool pool(8);
  ASSERT_EQ(pool.size(), 8u);
  const size_t n = 100000;
  std::vector<std::string> out = pool.map<std::string>(n, [](size_t i) {
    busy(i);
    return std::to_string(i);
  });
  ASSERT_EQ(out.size(), n);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], std::to_string(i)) << i;
}

TEST(WorkerPool, ZeroWorkersStillStartsOneAndAnEmptyJobRunsNothing) {
  WorkerPool pool(0);
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.map<size_t>(5, [](size_t i) { return i * 2; }),
            (std::vector<size_t>{0, 2, 4, 6, 8}));
  bool called = false;
  pool.run(0, [&](size_t) { called = true; });
  EXPECT_FALSE(called);
  EXPECT_EQ(pool.map<int>(0, [](size_t) { return 1; }), std::vector<int>{});
}

TEST(WorkerPool, ExceptionOfOneItemReachesCallerAfterWorkersStop) {
  WorkerPool pool(4);
  std::atomic<int> inside{0};
  std::atomic<size_t> ran{0};
  const size_t n = 4000;
  try {
    pool.run(n, [&](size_t i) {
      ran.fetch_add(1);
      if (i == 500) throw Panic("broken invariant at 500");
      // Long items: the other workers are inside one when the throw happens.
      inside.fetch_add(1);
      spin(20000);
      inside.fetch_sub(1);
    });
    FAIL() << "no exception";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "broken invariant at 500");
  }
  // No worker may still be running an item of the ended job.
  EXPECT_EQ(inside.load(), 0);
  EXPECT_LT(ran.load(), n);
  // The pool serves the next job as usual.
  EXPECT_EQ(pool.map<int>(3, [](size_t i) { return int(i) + 1; }), (std::vector<int>{1, 2, 3}));
}

TEST(WorkerPool, NestedCallFromAWorkerRunsInPlace) {
  // One worker: the outer item occupies it, so the inner job can only be
  // done by that same thread.
  WorkerPool pool(1);
  std::vector<std::vector<size_t>> out = pool.map<std::vector<size_t>>(
      4, [&](size_t i) { return pool.map<size_t>(3, [i](size_t j) { return i * 10 + j; }); });
  EXPECT_EQ(
      out, (std::vector<std::vector<size_t>>{{0, 1, 2}, {10, 11, 12}, {20, 21, 22}, {30, 31, 32}}));
}

TEST(WorkerPool, CallsAcrossTwoOneWorkerPoolsDoNotDeadlock) {
  WorkerPool a(1);
  WorkerPool b(1);
  std::vector<size_t> out = a.map<size_t>(3, [&](size_t i) {
    std::vector<size_t> inner = b.map<size_t>(
        2, [&](size_t j) { return a.map<size_t>(1, [&](size_t) { return i * 100 + j; })[0]; });
    return inner[0] + inner[1];
  });
  EXPECT_EQ(out, (std::vector<size_t>{1, 201, 401}));
}

TEST(WorkerPool, SeveralCallerThreadsShareOnePool) {
  WorkerPool pool(4);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (size_t t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      for (size_t round = 0; round < 30; ++round) {
        size_t n = 50 + t * 37 + round;
        std::vector<size_t> out = pool.map<size_t>(n, [&](size_t i) { return t * 100000 + i; });
        for (size_t i = 0; i < n; ++i) {
          if (out[i] != t * 100000 + i) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---- The process-wide pool ---------------------------------------------------------

TEST(BatchPool, LaterBatchesReuseThePool) {
  std::shared_ptr<WorkerPool> first = batch_pool();
  EXPECT_EQ(batch<int>(0, [](size_t) { return 1; }), std::vector<int>{});
  EXPECT_EQ(batch<std::string>(3, [](size_t i) { return std::string(i, 'x'); }),
            (std::vector<std::string>{"", "x", "xx"}));
  EXPECT_EQ(batch_pool(), first);
}

TEST(BatchPool, WorkerCountComesFromTheEnvironment) {
  const size_t online = std::max(1u, std::thread::hardware_concurrency());
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    size_t expected;
  };
  const Case cases[] = {{"3", nullptr, 3},
                        {"+4", nullptr, 4},
                        {"3", "5", 3},
                        {"0", "5", online},
                        {"", "5", 5},
                        {"garbage", "5", 5},
                        {" 3", "5", 5},
                        {"3 ", nullptr, online},
                        {"-1", "2", 2},
                        {"++2", nullptr, online},
                        {"99999999999999999999999", "6", 6},
                        {nullptr, "7", 7},
                        {nullptr, "+7", 7},
                        {nullptr, "0", online},
                        {nullptr, "x", online},
                        {nullptr, nullptr, online}};
  auto set = [](const char* name, const char* value) {
    value == nullptr ? unsetenv(name) : setenv(name, value, 1);
  };
  auto saved = [](const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
  };
  const std::optional<std::string> threads = saved("RAYON_NUM_THREADS");
  const std::optional<std::string> cpus = saved("RAYON_RS_NUM_CPUS");
  for (const Case& c : cases) {
    set("RAYON_NUM_THREADS", c.num_threads);
    set("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
    EXPECT_EQ(pool_worker_count(), c.expected)
        << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
        << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
  }
  set("RAYON_NUM_THREADS", threads ? threads->c_str() : nullptr);
  set("RAYON_RS_NUM_CPUS", cpus ? cpus->c_str() : nullptr);
}

size_t thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// The child's checks, as an exit code: 0 when all hold.
int child_after_fork(WorkerPool* parent_pool, const Db& db) {
  setenv("RAYON_NUM_THREADS", "3", 1);
  // The child starts with this thread alone; an empty batch still builds the
  // pool, so its three workers run beside it afterwards.
  if (thread_count() != 1) return 6;
  if (!decode_batch(db, {}, testing::T2026, 2026).empty()) return 7;
  if (thread_count() != 4) return 8;
  std::shared_ptr<WorkerPool> pool = batch_pool();
  if (pool.get() == parent_pool) return 2;
  if (pool->size() != 3) return 3;
  std::vector<size_t> out = batch<size_t>(10000, [](size_t i) { return i * 3; });
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] != i * 3) return 4;
  }
  if (batch_pool() != pool) return 5;
  return 0;
}

TEST(BatchPool, ChildAfterForkBuildsItsOwnPool) {
  SKIP_WHERE_CHILD_THREADS_HANG();
  testing::ArtifactDb a(testing::decoder_contents());
  std::shared_ptr<WorkerPool> parent = batch_pool();
  // Busy parent workers at fork time: their locks must not matter to the child.
  std::thread busy_batches([] {
    for (int i = 0; i < 20; ++i) batch<uint64_t>(2000, busy);
  });
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(child_after_fork(parent.get(), a.db()));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  busy_batches.join();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(batch_pool(), parent);
  EXPECT_EQ(batch<size_t>(4, [](size_t i) { return i; }), (std::vector<size_t>{0, 1, 2, 3}));
}

// ---- Batch decoding ------------------------------------------------------------------

std::vector<std::string> sample_vins() {
  std::vector<std::string> vins = {"1HGCM82633A004352", "",
                                   "1HGCM82633A00435",  "tst2a1b2c3d4e5f6",
                                   "1G9AB12345S013001", "MCY12345XFA000001",
                                   "1HGCM8\"633\tÄ",    "1HGCM82633A004352"};
  for (int i = 0; i < 500; ++i) {
    vins.push_back("1HGCM8" + std::to_string(2633 + i * 7) + "A00" + std::to_string(4000 + i));
  }
  return vins;
}

TEST(DecodeBatch, EveryFormEqualsSingleDecodesInInputOrder) {
  using testing::T2026;
  testing::ArtifactDb plain(testing::decoder_contents());
  artifact::Contents changed = testing::decoder_contents();
  testing::add_pattern(changed, 100, "CM8", 38, "EX-V6");
  testing::ArtifactDb other(changed);
  const std::vector<std::string> vins = sample_vins();
  // Two artifacts in turn on the same long-lived workers: nothing one batch
  // learnt about the first may leak into the second.
  for (const Db* db : {&plain.db(), &other.db(), &plain.db()}) {
    std::vector<DecodeResult> nested = decode_batch(*db, vins, T2026, 2026);
    std::vector<FlatResult> flat = decode_batch_flat(*db, vins, T2026, 2026);
    std::vector<std::string> json = decode_batch_json(*db, vins, false, T2026, 2026);
    std::vector<std::string> flat_json = decode_batch_json(*db, vins, true, T2026, 2026);
    ASSERT_EQ(nested.size(), vins.size());
    ASSERT_EQ(flat.size(), vins.size());
    ASSERT_EQ(json.size(), vins.size());
    ASSERT_EQ(flat_json.size(), vins.size());
    for (size_t i = 0; i < vins.size(); ++i) {
      DecodeResult single = decode_full(*db, vins[i], T2026, 2026);
      ASSERT_EQ(nested[i], single) << vins[i];
      ASSERT_EQ(json[i], to_json(single)) << vins[i];
      FlatResult single_flat = FlatResult::from(std::move(single));
      ASSERT_EQ(flat[i], single_flat) << vins[i];
      ASSERT_EQ(flat_json[i], to_json(single_flat)) << vins[i];
    }
    EXPECT_EQ(nested[7], nested[0]) << "the same VIN twice";
  }
}

// The results of a batch as its pieces handed them over, joined.
template <typename Result, typename Pieces>
std::vector<Result> joined_pieces(Pieces pieces, size_t& calls) {
  std::vector<Result> out;
  pieces([&](std::span<std::vector<Result>> ready) {
    ++calls;
    for (std::vector<Result>& piece : ready) {
      for (Result& result : piece) out.push_back(std::move(result));
    }
  });
  return out;
}

TEST(DecodeBatch, ResultsHandedOverInPiecesEqualTheWholeBatchForEverySize) {
  testing::ArtifactDb a(testing::decoder_contents());
  const Db& db = a.db();
  const std::vector<std::string> sample = sample_vins();
  for (size_t n : {size_t{0}, size_t{1}, size_t{4}, size_t{5}, size_t{300}, size_t{5000}}) {
    std::vector<std::string> vins;
    for (size_t i = 0; i < n; ++i) vins.push_back(sample[i % sample.size()]);
    size_t calls = 0;
    std::vector<DecodeResult> nested = joined_pieces<DecodeResult>(
        [&](auto take) { decode_batch_pieces(db, vins, testing::T2026, 2026, take); }, calls);
    EXPECT_EQ(nested, decode_batch(db, vins, testing::T2026, 2026)) << n << " VINs";
    std::vector<FlatResult> flat = joined_pieces<FlatResult>(
        [&](auto take) { decode_batch_flat_pieces(db, vins, testing::T2026, 2026, take); }, calls);
    EXPECT_EQ(flat, decode_batch_flat(db, vins, testing::T2026, 2026)) << n << " VINs";
  }
}

TEST(DecodeBatch, EmptyBatchGivesNoResultsAndAnEmptyJsonArray) {
  testing::ArtifactDb a(testing::decoder_contents());
  EXPECT_TRUE(decode_batch(a.db(), {}, testing::T2026, 2026).empty());
  EXPECT_TRUE(decode_batch_flat(a.db(), {}, testing::T2026, 2026).empty());
  EXPECT_EQ(decode_batch_json(a.db(), {}, true, testing::T2026, 2026), std::vector<std::string>{});
  EXPECT_EQ(join_json_array({}), "[]");
  EXPECT_EQ(join_json_array({R"({"a":1})"}), R"([{"a":1}])");
  EXPECT_EQ(join_json_array({"{}", "[]", R"("x")"}), R"([{},[],"x"])");
}

TEST(DecodeBatch, BatchesOfUpToFourRunOnTheCallingThreadLargerOnesOnThePool) {
  const std::thread::id caller = std::this_thread::get_id();
  for (size_t n : {size_t{1}, size_t{4}, size_t{5}, size_t{64}}) {
    std::vector<std::thread::id> ran =
        batch<std::thread::id>(n, [](size_t) { return std::this_thread::get_id(); });
    ASSERT_EQ(ran.size(), n);
    size_t on_caller = static_cast<size_t>(std::count(ran.begin(), ran.end(), caller));
    EXPECT_EQ(on_caller, n <= CALLER_BATCH_LIMIT ? n : 0) << n << " items";
  }
}

// The pieces of a JSON batch, in the order the caller was handed them.
std::vector<std::string> json_pieces(const Db& db, const std::vector<std::string>& vins,
                                     bool flat) {
  std::vector<std::string> pieces;
  decode_batch_json_pieces(db, vins, flat, testing::T2026, 2026,
                           [&](std::span<const std::string_view> ready) {
                             pieces.insert(pieces.end(), ready.begin(), ready.end());
                           });
  return pieces;
}

TEST(DecodeBatch, JsonArrayEqualsTheJoinedTextsOfEverySize) {
  testing::ArtifactDb a(testing::decoder_contents());
  const std::vector<std::string> sample = sample_vins();
  const size_t workers = batch_pool()->size();
  // From this size on every piece holds the most results a piece may hold.
  const size_t full = workers * 4 * JSON_PIECE_VINS;
  ASSERT_EQ(json_piece_vins(full, workers), JSON_PIECE_VINS);
  ASSERT_EQ(json_piece_vins(full - 1, workers), JSON_PIECE_VINS - 1);
  for (size_t n : {size_t{0}, size_t{1}, size_t{4}, size_t{5}, size_t{37}, sample.size(), full - 1,
                   full, full + 1}) {
    std::vector<std::string> vins;
    for (size_t i = 0; i < n; ++i) vins.push_back(sample[i % sample.size()]);
    for (bool flat : {false, true}) {
      const std::vector<std::string> texts =
          decode_batch_json(a.db(), vins, flat, testing::T2026, 2026);
      const std::vector<std::string> pieces = json_pieces(a.db(), vins, flat);
      std::string joined;
      for (const std::string& piece : pieces) joined += piece;
      EXPECT_EQ(joined, join_json_array(texts)) << n << " VINs, flat " << flat;
      // Each piece ends between two results: "[" opens the first, "]" closes
      // the last, every other opens with the "," before its first result.
      const size_t per_piece = n <= CALLER_BATCH_LIMIT ? std::max<size_t>(n, 1)
                                                       : json_piece_vins(n, workers);
      ASSERT_EQ(pieces.size(), std::max<size_t>((n + per_piece - 1) / per_piece, 1))
          << n << " VINs, flat " << flat;
      for (size_t k = 0; k < pieces.size(); ++k) {
        const size_t first = k * per_piece;
        std::string opening = (k == 0 ? "[" : ",") + (n == 0 ? "]" : texts[first]);
        EXPECT_EQ(pieces[k].substr(0, opening.size()), opening) << n << " VINs, piece " << k;
      }
    }
  }
}

// ---- Pieces handed over in order --------------------------------------------------------

TEST(PiecesInOrder, TheCallerTakesEveryPieceOnceInOrderWhileWorkersFinishOutOfOrder) {
  WorkerPool pool(4);
  const std::thread::id caller = std::this_thread::get_id();
  for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{300}}) {
    std::vector<std::string> taken;
    size_t calls = 0;
    bool all_on_caller = true;
    pieces_in_order(
        pool, count,
        [](size_t k) {
          spin((k * 7 % 5) * 20000);
          return std::to_string(k);
        },
        [&](std::span<const std::string_view> ready) {
          ++calls;
          all_on_caller = all_on_caller && std::this_thread::get_id() == caller;
          EXPECT_FALSE(ready.empty());
          taken.insert(taken.end(), ready.begin(), ready.end());
        });
    std::vector<std::string> expected;
    for (size_t k = 0; k < count; ++k) expected.push_back(std::to_string(k));
    EXPECT_EQ(taken, expected) << count << " pieces";
    EXPECT_TRUE(all_on_caller);
    EXPECT_LE(calls, count);
  }
}

TEST(PiecesInOrder, NoPieceStartsMoreThanItsReachAfterTheLastOneTaken) {
  WorkerPool pool(8);
  for (size_t ahead : {size_t{1}, size_t{3}, size_t{16}}) {
    std::atomic<size_t> taken{0};
    std::atomic<size_t> farthest{0};  // the largest k - taken seen when piece k started
    std::vector<std::string> order;
    pieces_in_order<std::string>(
        pool, 200, ahead,
        [&](size_t k) {
          size_t before = taken.load();
          size_t lead = k - std::min(k, before);
          size_t seen = farthest.load();
          while (lead > seen && !farthest.compare_exchange_weak(seen, lead)) {
          }
          spin(2000);
          return std::to_string(k);
        },
        [&](std::span<std::string> ready) {
          spin(200000);  // a taker much slower than the workers
          order.insert(order.end(), ready.begin(), ready.end());
          taken.store(order.size());
        });
    std::vector<std::string> expected;
    for (size_t k = 0; k < 200; ++k) expected.push_back(std::to_string(k));
    EXPECT_EQ(order, expected) << "ahead " << ahead;
    EXPECT_LT(farthest.load(), ahead) << "ahead " << ahead;
  }
}

TEST(PiecesInOrder, AFailingPieceEndsTheCallAndOnlyEarlierPiecesWereTaken) {
  WorkerPool pool(4);
  std::atomic<int> inside{0};
  std::vector<std::string> taken;
  try {
    pieces_in_order(
        pool, 400,
        [&](size_t k) {
          if (k == 40) throw Panic("broken invariant at 40");
          inside.fetch_add(1);
          spin(20000);
          inside.fetch_sub(1);
          return std::to_string(k);
        },
        [&](std::span<const std::string_view> ready) {
          taken.insert(taken.end(), ready.begin(), ready.end());
        });
    FAIL() << "no exception";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "broken invariant at 40");
  }
  EXPECT_EQ(inside.load(), 0);
  ASSERT_LE(taken.size(), 40u);
  for (size_t k = 0; k < taken.size(); ++k) EXPECT_EQ(taken[k], std::to_string(k));
  EXPECT_EQ(pool.map<int>(3, [](size_t i) { return int(i) + 1; }), (std::vector<int>{1, 2, 3}));
}

TEST(PiecesInOrder, APieceFailingWhileLaterOnesAreOutOfReachEndsTheCallAndNoWorkerWaitsForIt) {
  // Three workers and room for two pieces: piece 0 holds its worker until
  // another job has run on the same pool, then fails. Pieces out of reach
  // are never claimed, so the two other workers are free for that job;
  // and the failure must wake the caller, or the call never returns.
  struct Call {
    WorkerPool pool{3};
    std::latch other_job_ran{1};
    std::vector<std::string> taken;
    std::atomic<size_t> made_out_of_reach{0};
    std::vector<int> other_job;
    std::string raised;
    std::promise<void> returned;
  };
  auto call = std::make_shared<Call>();
  std::future<void> returned = call->returned.get_future();
  // On a thread of its own, which holds the call: should it hang, it is
  // left behind, since ending the pool would wait for its stuck workers.
  std::thread caller([call] {
    try {
      pieces_in_order<std::string>(
          call->pool, 6, 2,
          [&](size_t k) -> std::string {
            if (k == 0) {
              call->other_job_ran.wait();
              throw Panic("broken invariant at 0");
            }
            if (k >= 2) call->made_out_of_reach.fetch_add(1);
            return std::to_string(k);
          },
          [&](std::span<std::string> ready) {
            call->taken.insert(call->taken.end(), ready.begin(), ready.end());
          });
      call->raised = "no exception";
    } catch (const Panic& e) {
      call->raised = e.what();
    }
    call->returned.set_value();
  });
  std::thread other([call] {
    call->other_job = call->pool.map<int>(3, [](size_t i) { return int(i) + 1; });
    call->other_job_ran.count_down();
  });
  // A guard against a hang, far beyond the milliseconds the call takes.
  if (returned.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    caller.detach();
    other.detach();
    FAIL() << "no return within 60 s: a worker waits for the caller, or the failure woke no one";
  }
  caller.join();
  other.join();
  EXPECT_EQ(call->other_job, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(call->raised, "broken invariant at 0");
  EXPECT_EQ(call->taken, std::vector<std::string>{});
  EXPECT_EQ(call->made_out_of_reach.load(), 0u);
  EXPECT_EQ(call->pool.map<int>(3, [](size_t i) { return int(i) + 1; }),
            (std::vector<int>{1, 2, 3}));
}

TEST(PiecesInOrder, AFailingTakerStopsTheWorkersAndItsExceptionReachesTheCaller) {
  WorkerPool pool(4);
  std::atomic<int> inside{0};
  std::atomic<size_t> made{0};
  size_t calls = 0;
  const size_t count = 2000;
  try {
    pieces_in_order(
        pool, count,
        [&](size_t) {
          made.fetch_add(1);
          inside.fetch_add(1);
          spin(20000);
          inside.fetch_sub(1);
          return std::string(1000, 'x');
        },
        [&](std::span<const std::string_view>) {
          ++calls;
          throw std::bad_alloc();
        });
    FAIL() << "no exception";
  } catch (const std::bad_alloc&) {
  }
  EXPECT_EQ(calls, 1u);
  EXPECT_EQ(inside.load(), 0);
  EXPECT_LT(made.load(), count);
  EXPECT_EQ(pool.map<int>(3, [](size_t i) { return int(i) + 1; }), (std::vector<int>{1, 2, 3}));
}

// ---- A taker that forks --------------------------------------------------------------

// The exit status of the child `pid`, or none when it has not ended after a
// minute (far beyond the milliseconds it needs; it is then killed).
std::optional<int> exit_status_of(pid_t pid) {
  for (int waited_ms = 0; waited_ms < 60000; waited_ms += 5) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return std::nullopt;
}

std::vector<std::string> numbers(size_t count) {
  std::vector<std::string> out;
  for (size_t k = 0; k < count; ++k) out.push_back(std::to_string(k));
  return out;
}

// What the taker does in the child it forks.
enum class InChild { kReturns, kThrows };

// A batch whose taker forks on its third call (as a signal handler that
// take runs may), while workers are busy with later pieces. Nested, the
// outer batch's taker runs, on its second call, a batch of its own on the
// same pool, whose taker is the one that forks.
struct ForkingBatch {
  static constexpr size_t OUTER = 300;
  static constexpr size_t INNER = 50;
  static constexpr size_t AHEAD = 8;  // so that every batch takes in several calls

  WorkerPool& pool;
  InChild in_child;
  bool nested;
  std::vector<std::string> taken;  // the outer batch's pieces
  std::vector<std::string> inner;  // the nested batch's pieces
  size_t forking_calls = 0;
  pid_t child = -1;  // 0 in the child

  static std::string make(size_t k) {
    spin((k * 7 % 5) * 20000);  // uneven, so pieces finish out of order
    return std::to_string(k);
  }

  void take_forking(std::vector<std::string>& into, std::span<std::string> ready) {
    into.insert(into.end(), ready.begin(), ready.end());
    if (++forking_calls != 3) return;
    child = fork();
    if (child == -1) throw std::runtime_error("fork failed");
    if (child == 0 && in_child == InChild::kThrows) {
      throw std::runtime_error("taker in the child");
    }
  }

  void run() {
    if (!nested) {
      pieces_in_order<std::string>(pool, OUTER, AHEAD, make,
                                   [&](std::span<std::string> r) { take_forking(taken, r); });
      return;
    }
    size_t calls = 0;
    pieces_in_order<std::string>(pool, OUTER, AHEAD, make, [&](std::span<std::string> ready) {
      taken.insert(taken.end(), ready.begin(), ready.end());
      if (++calls != 2) return;
      pieces_in_order<std::string>(pool, INNER, AHEAD, make,
                                   [&](std::span<std::string> r) { take_forking(inner, r); });
    });
  }

  // 0 when every piece of each batch was taken once in order, 10 when the
  // call ended with the taker's exception, 11 or 12 when it went wrong.
  int outcome() {
    try {
      run();
    } catch (const std::runtime_error& e) {
      return std::string_view(e.what()) == "taker in the child" ? 10 : 11;
    }
    bool right = taken == numbers(OUTER) && (!nested || inner == numbers(INNER));
    return right ? 0 : 12;
  }
};

TEST(PiecesInOrder, AChildForkedByTheTakerTakesEveryPieceOrEndsWithTheTakersException) {
  SKIP_WHERE_CHILD_THREADS_HANG();
  struct Case {
    InChild in_child;
    bool nested;
    int child_outcome;
  };
  const Case cases[] = {{InChild::kReturns, false, 0},
                        {InChild::kThrows, false, 10},
                        {InChild::kReturns, true, 0},
                        {InChild::kThrows, true, 10}};
  WorkerPool pool(4);
  // Several rounds: each fork meets the workers in another state.
  for (int round = 0; round < 5; ++round) {
    for (const Case& c : cases) {
      ForkingBatch batch{pool, c.in_child, c.nested};
      const int outcome = batch.outcome();
      if (batch.child == 0) _exit(outcome);
      const std::string name = std::string(c.nested ? "nested, " : "") +
                               (c.in_child == InChild::kThrows ? "throws" : "returns") +
                               ", round " + std::to_string(round);
      EXPECT_EQ(outcome, 0) << name << ": the parent";
      ASSERT_GT(batch.child, 0) << name;
      EXPECT_EQ(exit_status_of(batch.child), std::optional<int>(c.child_outcome))
          << name << ": the child";
      if (HasFailure()) return;  // a hung child costs a minute a round
    }
  }
}

}  // namespace
}  // namespace tamberok
