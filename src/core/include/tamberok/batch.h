// Parallel batch decoding on a process-wide pool of worker threads. The pool
// is built on first use, sized from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or
// the online processors, and built anew in a child process after fork.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/result.h"

namespace tamberok {

class WorkerPool;

// The pool of this process (a shared handle; hold it while using the pool).
std::shared_ptr<WorkerPool> batch_pool();

// Number of workers of a pool built now, as the environment decides.
size_t pool_worker_count();

class WorkerPool {
 public:
  explicit WorkerPool(size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t size() const;

  // Runs task(i) for every i in [0, n) on the workers and returns when all
  // are done. The first exception thrown by a task is rethrown here, after
  // every worker has stopped touching the job. Called from one of this
  // pool's own workers, it runs in place.
  void run(size_t n, const std::function<void(size_t)>& task);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// decode_full for every VIN with one clock reading, results in input order.
std::vector<DecodeResult> decode_batch(const Db& db, const std::vector<std::string>& vins,
                                       int64_t now, int32_t current_year);
std::vector<FlatResult> decode_batch_flat(const Db& db, const std::vector<std::string>& vins,
                                          int64_t now, int32_t current_year);
// The JSON text of each result (nested or flat), in input order.
std::vector<std::string> decode_batch_json(const Db& db, const std::vector<std::string>& vins,
                                           bool flat, int64_t now, int32_t current_year);

}  // namespace tamberok
