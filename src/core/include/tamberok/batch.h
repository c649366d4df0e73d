// Parallel batch decoding on a process-wide pool of worker threads. The pool
// is built on first use, sized from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or
// the online processors, and built anew in a child process after fork.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/result.h"

namespace tamberok {

class WorkerPool;

// The pool of this process (a shared handle; hold it while using the pool).
// A child process after fork gets a pool of its own; the parent's pool is
// left alone, since its threads exist only in the parent. Panics with
// "rayon thread pool: ..." when the pool cannot be built.
std::shared_ptr<WorkerPool> batch_pool();

// Number of workers of a pool built now, as the environment decides:
// RAYON_NUM_THREADS above 0, then RAYON_RS_NUM_CPUS above 0, then the online
// processors (1 when unknown). Each variable reads as an unsigned decimal
// with an optional leading "+"; anything else counts as unset.
size_t pool_worker_count();

class WorkerPool {
 public:
  // Starts max(workers, 1) threads.
  explicit WorkerPool(size_t workers);
  // Stops and joins the workers; no run() may be in progress.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t size() const;

  // Runs task(i) for every i in [0, n) on the workers and returns when all
  // are done. The first exception thrown by a task ends the job (no further
  // indices start) and is rethrown here, after every worker has stopped
  // touching the job. A caller outside every pool blocks; a worker thread
  // (of this pool or another) takes part in the job itself, so nested calls
  // cannot deadlock. Several threads may run jobs on one pool at once.
  void run(size_t n, const std::function<void(size_t)>& task);

  // Lets the indices below its argument start (a smaller bound than the
  // last one changes nothing).
  using OpenTo = std::function<void(size_t)>;

  // As run(), for a few large tasks whose results the calling thread uses
  // while the workers go on: once the job is queued, the caller runs
  // beside(open_to) and then waits for the job. The workers take one index
  // at a time, in increasing order, and only indices below `open` or below
  // what beside() last gave to open_to: a worker never waits for the
  // caller, so what beside() does meanwhile holds up no other job of the
  // pool. beside() must notice by itself when a task fails (the job then
  // stops early, and indices may never run). When beside() throws, no
  // further index starts and its exception is rethrown once every worker
  // has left the job; otherwise a task's exception is. In a child process
  // forked by beside() (through a callback of the caller), the job's
  // workers are the parent's: once beside() returns or throws there, this
  // returns or rethrows at once, without waiting for them or touching the
  // pool, and whatever of the job beside() did not do itself is not done.
  void run_beside(size_t n, size_t open, const std::function<void(size_t)>& task,
                  const std::function<void(const OpenTo&)>& beside);

  // make(i) for every i in [0, n), results in index order.
  template <typename T, typename Make>
  std::vector<T> map(size_t n, Make&& make) {
    std::vector<T> out(n);
    // Each index writes only its own slot, so no lock is needed.
    run(n, [&](size_t i) { out[i] = make(i); });
    return out;
  }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Batches of at most this many items run on the calling thread: waking the
// workers costs more than decoding a few VINs (measured: a one-VIN batch took
// four times a single decode on the pool).
inline constexpr size_t CALLER_BATCH_LIMIT = 4;

// make(i) for every i in [0, n) on the pool of this process, in index order.
// The pool is obtained (and built on first use) even for an empty batch.
template <typename T, typename Make>
std::vector<T> batch(size_t n, Make&& make) {
  std::shared_ptr<WorkerPool> pool = batch_pool();
  if (n <= CALLER_BATCH_LIMIT) {
    std::vector<T> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back(make(i));
    return out;
  }
  return pool->map<T>(n, std::forward<Make>(make));
}

// make(k) for every k in [0, count) on `pool`, handed over in order while
// the workers go on: take(ready) runs on the calling thread with every piece
// that is ready and follows the ones already taken (its own to move from;
// freed when take returns). No piece starts more than `ahead` pieces after
// the last one taken, so that a taker slower than the workers does not
// leave every piece of a large batch alive at once.
//
// When make throws, take is not called again and that exception is
// rethrown once all workers have stopped; when take throws, the workers
// stop after their current piece and take's exception is rethrown. Either
// way every piece is freed.
//
// take may fork (a signal handler it runs, say). The parent goes on as
// before. The child, whose copy of `pool` has no workers, neither waits for
// them nor takes a lock they may have held: when take returns there, the
// pieces not yet taken are made anew on the child's own pool (batch_pool())
// and handed over in order, so the child's call, too, takes every piece;
// when take throws there, its exception is rethrown at once. Pieces that a
// parent's worker may have been writing at the fork are leaked, never freed.
template <typename Piece>
void pieces_in_order(WorkerPool& pool, size_t count, size_t ahead,
                     const std::function<Piece(size_t)>& make,
                     const std::function<void(std::span<Piece>)>& take);

// Texts, handed over as views, with room for TEXT_PIECES_AHEAD pieces.
inline constexpr size_t TEXT_PIECES_AHEAD = 256;
void pieces_in_order(WorkerPool& pool, size_t count,
                     const std::function<std::string(size_t)>& make,
                     const std::function<void(std::span<const std::string_view>)>& take);

// One JSON array of JSON texts: "[" + texts joined by "," + "]", no white
// space; the whole size is reserved up front.
std::string join_json_array(const std::vector<std::string>& texts);

// VINs per piece of a JSON array made on a pool of `workers`: several
// pieces per worker, so that they share the batch evenly, and at most
// JSON_PIECE_VINS, so that the caller gets the first piece early and has
// little left to do after the last one.
inline constexpr size_t JSON_PIECE_VINS = 128;
size_t json_piece_vins(size_t vins, size_t workers);

// The JSON texts of the results (nested or flat) as one array, equal to
// join_json_array of decode_batch_json, handed over by pieces_in_order in
// pieces of json_piece_vins consecutive results. A batch of at most
// CALLER_BATCH_LIMIT VINs is one piece, made on the calling thread. The
// first piece starts with "[", the last ends with "]", every other starts
// with the "," before its first result, so no piece cuts a UTF-8 character.
void decode_batch_json_pieces(const Db& db, const std::vector<std::string>& vins, bool flat,
                              int64_t now, int32_t current_year,
                              const std::function<void(std::span<const std::string_view>)>& take);

// The results of the VINs (nested or flat) handed over by pieces_in_order in
// pieces of json_piece_vins consecutive results, at most
// RESULT_PIECES_AHEAD_PER_WORKER pieces per worker ahead of the caller: the
// caller turns each into Python objects while the workers go on, and only
// those few pieces are alive at once. A batch of at most CALLER_BATCH_LIMIT
// VINs is one piece, made on the calling thread.
inline constexpr size_t RESULT_PIECES_AHEAD_PER_WORKER = 4;
void decode_batch_pieces(const Db& db, const std::vector<std::string>& vins, int64_t now,
                         int32_t current_year,
                         const std::function<void(std::span<std::vector<DecodeResult>>)>& take);
void decode_batch_flat_pieces(const Db& db, const std::vector<std::string>& vins, int64_t now,
                              int32_t current_year,
                              const std::function<void(std::span<std::vector<FlatResult>>)>& take);

// decode_full for every VIN with one clock reading, results in input order.
std::vector<DecodeResult> decode_batch(const Db& db, const std::vector<std::string>& vins,
                                       int64_t now, int32_t current_year);
std::vector<FlatResult> decode_batch_flat(const Db& db, const std::vector<std::string>& vins,
                                          int64_t now, int32_t current_year);
// The JSON text of each result (nested or flat), in input order.
std::vector<std::string> decode_batch_json(const Db& db, const std::vector<std::string>& vins,
                                           bool flat, int64_t now, int32_t current_year);

}  // namespace tamberok
