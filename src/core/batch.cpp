// The worker pool and the process-wide pool slot.
#include "tamberok/batch.h"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>

#include "tamberok/panic.h"
#include "tamberok/tamberok.h"
#include "tamberok/thread_state.h"

namespace tamberok {

// ---- Jobs and workers -----------------------------------------------------------

namespace {

// One call of run(). It lives on the caller's stack; the caller returns only
// once the job has left the queue and no participant is inside it.
struct Job {
  Job(const std::function<void(size_t)>& task, size_t n, size_t chunk, size_t open)
      : task(task), n(n), chunk(chunk), open(std::min(open, n)) {}

  const std::function<void(size_t)>& task;
  const size_t n;
  const size_t chunk;
  std::atomic<size_t> next{0};  // first index not yet claimed
  // Indices below it may be claimed; at most n. Raised only with the pool
  // mutex held, so that a worker that found nothing open and waits for
  // work is woken.
  std::atomic<size_t> open;
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by whoever set `failed`

  // Guarded by the pool mutex.
  size_t active = 0;  // participants inside work_on()
  bool queued = true;
  std::condition_variable done;

  bool finished() const { return !queued && active == 0; }
  bool exhausted() const { return next.load(std::memory_order_relaxed) >= n; }
  bool has_open_index() const {
    return next.load(std::memory_order_relaxed) < open.load(std::memory_order_relaxed);
  }
};

// Indices are claimed in chunks: large enough that the shared counter is not
// a hot spot, small enough (several per worker) that a worker stuck on slow
// VINs leaves the rest to the others.
size_t chunk_for(size_t n, size_t workers) {
  return std::clamp<size_t>(n / (workers * 8), 1, 64);
}

// Claims [begin, end), the next chunk below the open bound; false when
// no index is open (the job is exhausted, has failed, or waits for its
// caller to open more).
bool claim(Job& job, size_t& begin, size_t& end) {
  begin = job.next.load(std::memory_order_relaxed);
  for (;;) {
    size_t bound = job.open.load(std::memory_order_relaxed);
    if (begin >= bound) return false;
    end = std::min(begin + job.chunk, bound);
    if (job.next.compare_exchange_weak(begin, end, std::memory_order_relaxed)) return true;
  }
}

// Claims and runs chunks until no index is open or the job has failed.
void work_on(Job& job) {
  size_t begin = 0;
  size_t end = 0;
  while (claim(job, begin, end)) {
    try {
      for (size_t i = begin; i < end; ++i) {
        if (job.failed.load(std::memory_order_relaxed)) return;
        job.task(i);
      }
    } catch (...) {
      // The caller reads `error` only after taking the pool mutex behind this
      // participant's leave(), which orders the write before the read.
      if (!job.failed.exchange(true)) job.error = std::current_exception();
      job.next.store(job.n, std::memory_order_relaxed);
      return;
    }
  }
}

// Whether this is a child process forked since `pid` was read in its parent.
// A system call (no cached value), once per job or per handing over: cheap
// beside a piece of work.
bool forked_since(pid_t pid) {
  return getpid() != pid;
}

// Set on pool worker threads: such a thread takes part in any job it starts
// instead of blocking, which keeps nested and cross-pool calls deadlock-free.
thread_local bool IS_POOL_WORKER = false;

}  // namespace

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable work;
  std::deque<Job*> queue;  // jobs with unclaimed indices, oldest first
  bool stop = false;
  std::vector<std::thread> threads;

  // A participant that found no open index of `job`; the mutex is held.
  // The first one to find it exhausted takes it out of the queue; a job
  // that only waits for its caller to open more stays.
  void leave(Job& job) {
    if (job.queued && job.exhausted()) {
      queue.erase(std::find(queue.begin(), queue.end(), &job));
      job.queued = false;
    }
    if (--job.active == 0 && !job.queued) job.done.notify_all();
  }

  // The oldest queued job with an open index; the mutex is held.
  Job* open_job() const {
    for (Job* job : queue) {
      if (job->has_open_index()) return job;
    }
    return nullptr;
  }

  // Lets the indices of `job` below `end` be claimed.
  void open_to(Job& job, size_t end) {
    end = std::min(end, job.n);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (end <= job.open.load(std::memory_order_relaxed)) return;
      job.open.store(end, std::memory_order_relaxed);
    }
    work.notify_all();
  }

  // Ends `job` early for its caller: no further index starts, and it
  // leaves the queue now rather than when a busy worker next looks at it.
  void cancel(Job& job) {
    job.failed.store(true, std::memory_order_relaxed);
    job.next.store(job.n, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex);
    if (job.queued) {
      queue.erase(std::find(queue.begin(), queue.end(), &job));
      job.queued = false;
    }
  }

  void wait_until_finished(Job& job) {
    std::unique_lock<std::mutex> lock(mutex);
    job.done.wait(lock, [&] { return job.finished(); });
  }

  // Queues `job`, runs beside() on the calling thread, and returns once no
  // participant is inside the job; rethrows beside's exception, else the
  // job's.
  void run_job(Job& job, const std::function<void(const OpenTo&)>& beside);

  void worker_main();

  void shut_down() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    work.notify_all();
    for (std::thread& t : threads) t.join();
    threads.clear();
  }
};

void WorkerPool::State::worker_main() {
  IS_POOL_WORKER = true;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    Job* found = nullptr;
    work.wait(lock, [&] { return stop || (found = open_job()) != nullptr; });
    if (stop) return;
    Job& job = *found;
    ++job.active;
    lock.unlock();
    // Before anything can throw on this thread; once it has succeeded this
    // is one thread-local load. Should memory run out here, the job still
    // runs, and fails with the same std::bad_alloc when it allocates.
    try {
      prepare_thread();
    } catch (const std::bad_alloc&) {
    }
    work_on(job);
    lock.lock();
    leave(job);
  }
}

WorkerPool::WorkerPool(size_t workers) : state_(std::make_unique<State>()) {
  workers = std::max<size_t>(workers, 1);
  state_->threads.reserve(workers);
  try {
    for (size_t i = 0; i < workers; ++i) {
      state_->threads.emplace_back([s = state_.get()] { s->worker_main(); });
    }
  } catch (...) {
    // Joinable threads must not be destroyed: stop the ones that started.
    state_->shut_down();
    throw;
  }
}

WorkerPool::~WorkerPool() {
  state_->shut_down();
}

size_t WorkerPool::size() const {
  return state_->threads.size();
}

void WorkerPool::State::run_job(Job& job, const std::function<void(const OpenTo&)>& beside) {
  const bool helps = IS_POOL_WORKER;
  const pid_t pid = getpid();
  std::unique_lock<std::mutex> lock(mutex);
  queue.push_back(&job);
  if (helps) ++job.active;
  lock.unlock();
  work.notify_all();
  if (helps) {
    work_on(job);
    lock.lock();
    leave(job);
    lock.unlock();
  }
  std::exception_ptr error;
  try {
    beside([&](size_t end) { open_to(job, end); });
  } catch (abi::__forced_unwind&) {
    // The thread is being ended (the interpreter's exit, for one). The job
    // lives on its stack, which the unwind frees: no worker may still be
    // inside it by then.
    if (!forked_since(pid)) {
      cancel(job);
      wait_until_finished(job);
    }
    throw;
  } catch (...) {
    if (forked_since(pid)) throw;
    error = std::current_exception();
    cancel(job);
  }
  // In a child forked by beside() (a signal handler it ran, say), the
  // workers in the job are the parent's and do not exist here, nor does
  // anyone who would release the pool mutex should one of them have held
  // it at the fork: the job is neither cancelled nor waited for.
  if (forked_since(pid)) return;
  wait_until_finished(job);
  // A task's exception is dropped when beside() failed: the caller can
  // raise only one, and its own is the one it is unwinding with.
  if (!error) error = job.error;
  if (error) std::rethrow_exception(error);
}

void WorkerPool::run(size_t n, const std::function<void(size_t)>& task) {
  if (n == 0) return;
  Job job(task, n, chunk_for(n, state_->threads.size()), n);
  state_->run_job(job, [](const OpenTo&) {});
}

void WorkerPool::run_beside(size_t n, size_t open, const std::function<void(size_t)>& task,
                            const std::function<void(const OpenTo&)>& beside) {
  if (n == 0) {
    beside([](size_t) {});
    return;
  }
  // One index per claim: the caller uses the results in index order, so a
  // worker must not sit on several of the next ones.
  Job job(task, n, 1, open);
  state_->run_job(job, beside);
}

// ---- Worker count -----------------------------------------------------------

namespace {

// An unsigned decimal with an optional leading "+"; none for anything else.
std::optional<size_t> env_count(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  size_t count = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, count);
  if (text.empty() || ec != std::errc() || stop != end) return std::nullopt;
  return count;
}

size_t online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}

}  // namespace

size_t pool_worker_count() {
  if (std::optional<size_t> n = env_count("RAYON_NUM_THREADS")) {
    return *n > 0 ? *n : online_processors();
  }
  if (std::optional<size_t> n = env_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return online_processors();
}

// ---- The process-wide slot ------------------------------------------------------

namespace {

struct PoolSlot {
  pid_t pid;
  std::shared_ptr<WorkerPool> pool;
  // The slot of the parent process, kept (never destroyed) after fork: its
  // threads do not exist here, so joining them would hang.
  PoolSlot* abandoned;
};

// Constant-initialised and never destroyed: the pool must outlive static
// destructors, since the interpreter may still run threads at exit.
std::mutex POOL_MUTEX;
PoolSlot* POOL = nullptr;

// A fork while another thread holds the slot mutex would leave it locked in
// the child forever; holding it across fork makes the child's copy clean.
const int POOL_ATFORK = pthread_atfork([] { POOL_MUTEX.lock(); }, [] { POOL_MUTEX.unlock(); },
                                       [] { POOL_MUTEX.unlock(); });

}  // namespace

std::shared_ptr<WorkerPool> batch_pool() {
  (void)POOL_ATFORK;
  const pid_t pid = getpid();
  std::lock_guard<std::mutex> lock(POOL_MUTEX);
  if (POOL != nullptr && POOL->pid == pid) return POOL->pool;
  std::shared_ptr<WorkerPool> pool;
  try {
    pool = std::make_shared<WorkerPool>(pool_worker_count());
  } catch (const std::exception& e) {
    // Threads that cannot start and worker counts too large to hold alike.
    throw Panic(std::string("rayon thread pool: ") + e.what());
  }
  POOL = new PoolSlot{pid, pool, POOL};
  return pool;
}

std::string join_json_array(const std::vector<std::string>& texts) {
  size_t capacity = 2;
  for (const std::string& text : texts) capacity += text.size() + 1;
  std::string out;
  out.reserve(capacity);
  out.push_back('[');
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(texts[i]);
  }
  out.push_back(']');
  return out;
}

// ---- Batch decoding ------------------------------------------------------------

namespace {

// decode_full per VIN on the process pool, then `finish` on the same worker,
// so flat conversion and JSON writing run in parallel too.
template <typename T, typename Finish>
std::vector<T> decode_each(const Db& db, const std::vector<std::string>& vins, int64_t now,
                           int32_t current_year, Finish finish) {
  return batch<T>(vins.size(),
                  [&](size_t i) { return finish(decode_full(db, vins[i], now, current_year)); });
}

}  // namespace

std::vector<DecodeResult> decode_batch(const Db& db, const std::vector<std::string>& vins,
                                       int64_t now, int32_t current_year) {
  return decode_each<DecodeResult>(db, vins, now, current_year, [](DecodeResult r) { return r; });
}

std::vector<FlatResult> decode_batch_flat(const Db& db, const std::vector<std::string>& vins,
                                          int64_t now, int32_t current_year) {
  return decode_each<FlatResult>(db, vins, now, current_year,
                                 [](DecodeResult r) { return FlatResult::from(std::move(r)); });
}

std::vector<std::string> decode_batch_json(const Db& db, const std::vector<std::string>& vins,
                                           bool flat, int64_t now, int32_t current_year) {
  if (flat) {
    return decode_each<std::string>(db, vins, now, current_year, [](DecodeResult r) {
      return to_json(FlatResult::from(std::move(r)));
    });
  }
  return decode_each<std::string>(db, vins, now, current_year,
                                  [](const DecodeResult& r) { return to_json(r); });
}

size_t json_piece_vins(size_t vins, size_t workers) {
  return std::clamp<size_t>(vins / (std::max<size_t>(workers, 1) * 4), 1, JSON_PIECE_VINS);
}

namespace {

// What every piece of one JSON batch shares.
struct JsonBatch {
  const Db& db;
  const std::vector<std::string>& vins;
  bool flat;
  int64_t now;
  int32_t current_year;

  // The array text of the results of vins[begin, end): the "," before each
  // result but the very first, "[" and "]" at the ends of the batch.
  std::string piece(size_t begin, size_t end) const {
    std::string out;
    if (begin == 0) out.push_back('[');
    for (size_t i = begin; i < end; ++i) {
      if (i != 0) out.push_back(',');
      DecodeResult result = decode_full(db, vins[i], now, current_year);
      out += flat ? to_json(FlatResult::from(std::move(result))) : to_json(result);
    }
    if (end == vins.size()) out.push_back(']');
    return out;
  }
};

// The pieces between the workers that make them and the calling thread
// that takes them in order.
template <typename Piece>
struct PieceBoard {
  explicit PieceBoard(size_t count) : pieces(count), done(count, false) {}

  std::mutex mutex;
  std::condition_variable ready;  // the caller waits for piece `wanted`
  // Guarded by the mutex; pieces[k] is its worker's until done[k] is set.
  std::vector<Piece> pieces;
  std::vector<bool> done;
  size_t wanted = 0;  // the piece the caller waits for: others need not wake it
  bool failed = false;
};

// A board left in a child forked while the pieces were being made: a worker
// of the parent may have been writing to it at the fork (then the board's
// mutex is still held, and nobody here will release it), so a piece may be
// half moved. Such a board is leaked, never destroyed; a board whose mutex
// is free is whole and is freed as usual.
template <typename Piece>
void leave_in_child(std::unique_ptr<PieceBoard<Piece>> board) {
  if (!board->mutex.try_lock()) {
    (void)board.release();
    return;
  }
  board->mutex.unlock();
}

}  // namespace

template <typename Piece>
void pieces_in_order(WorkerPool& pool, size_t count, size_t ahead,
                     const std::function<Piece(size_t)>& make,
                     const std::function<void(std::span<Piece>)>& take) {
  // On the heap: in a child forked by take() it may have to be leaked.
  auto board = std::make_unique<PieceBoard<Piece>>(count);
  ahead = std::max<size_t>(ahead, 1);
  const pid_t pid = getpid();
  size_t next = 0;  // the first piece not yet taken

  auto write = [&board, &make](size_t k) {
    try {
      Piece piece = make(k);
      std::lock_guard<std::mutex> lock(board->mutex);
      board->pieces[k] = std::move(piece);
      board->done[k] = true;
      if (k == board->wanted) board->ready.notify_one();
    } catch (...) {
      // The pieces after this one may never be made: the caller must stop
      // waiting for them.
      std::lock_guard<std::mutex> lock(board->mutex);
      board->failed = true;
      board->ready.notify_one();
      throw;
    }
  };

  // No worker waits for the caller: a piece out of reach is not claimed
  // until take() has made room, so however long take() runs, and whatever
  // it does (run other jobs on this pool, say), the workers serve others.
  // Should take() fork (a signal handler it runs may), the child stops
  // here: the workers that were to make the rest are the parent's.
  auto hand_over = [&](const WorkerPool::OpenTo& open_to) {
    std::vector<Piece> taken;
    while (next < count) {
      {
        std::unique_lock<std::mutex> lock(board->mutex);
        board->wanted = next;
        board->ready.wait(lock, [&] { return board->failed || board->done[next]; });
        if (board->failed) return;
        for (; next < count && board->done[next]; ++next) {
          taken.push_back(std::move(board->pieces[next]));
        }
      }
      take(std::span<Piece>(taken));
      taken.clear();
      if (forked_since(pid)) return;
      open_to(next + ahead);
    }
  };

  try {
    pool.run_beside(count, ahead, write, hand_over);
  } catch (...) {
    if (forked_since(pid)) leave_in_child(std::move(board));
    throw;
  }
  if (!forked_since(pid)) return;
  // The child makes the rest on a pool of its own, and hands it over as
  // the parent would have (a later fork in take() is met the same way).
  leave_in_child(std::move(board));
  if (next == count) return;
  const size_t done = next;
  pieces_in_order<Piece>(
      *batch_pool(), count - done, ahead, [&](size_t k) { return make(done + k); }, take);
}

template void pieces_in_order<std::string>(WorkerPool&, size_t, size_t,
                                           const std::function<std::string(size_t)>&,
                                           const std::function<void(std::span<std::string>)>&);

void pieces_in_order(WorkerPool& pool, size_t count,
                     const std::function<std::string(size_t)>& make,
                     const std::function<void(std::span<const std::string_view>)>& take) {
  std::vector<std::string_view> views;
  pieces_in_order<std::string>(pool, count, TEXT_PIECES_AHEAD, make,
                               [&](std::span<std::string> ready) {
                                 views.assign(ready.begin(), ready.end());
                                 take(views);
                               });
}

namespace {

// Results of decode_full (nested or flat) for vins[begin, end).
template <typename Result>
std::vector<Result> results_of(const Db& db, const std::vector<std::string>& vins, size_t begin,
                               size_t end, int64_t now, int32_t current_year) {
  std::vector<Result> out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    DecodeResult result = decode_full(db, vins[i], now, current_year);
    if constexpr (std::is_same_v<Result, FlatResult>) {
      out.push_back(FlatResult::from(std::move(result)));
    } else {
      out.push_back(std::move(result));
    }
  }
  return out;
}

template <typename Result>
void result_pieces(const Db& db, const std::vector<std::string>& vins, int64_t now,
                   int32_t current_year,
                   const std::function<void(std::span<std::vector<Result>>)>& take) {
  std::shared_ptr<WorkerPool> pool = batch_pool();
  const size_t n = vins.size();
  if (n <= CALLER_BATCH_LIMIT) {
    std::vector<Result> only = results_of<Result>(db, vins, 0, n, now, current_year);
    take({&only, 1});
    return;
  }
  const size_t per_piece = json_piece_vins(n, pool->size());
  pieces_in_order<std::vector<Result>>(
      *pool, (n + per_piece - 1) / per_piece, RESULT_PIECES_AHEAD_PER_WORKER * pool->size(),
      [&](size_t k) {
        return results_of<Result>(db, vins, k * per_piece, std::min(n, (k + 1) * per_piece), now,
                                  current_year);
      },
      take);
}

}  // namespace

void decode_batch_pieces(const Db& db, const std::vector<std::string>& vins, int64_t now,
                         int32_t current_year,
                         const std::function<void(std::span<std::vector<DecodeResult>>)>& take) {
  result_pieces<DecodeResult>(db, vins, now, current_year, take);
}

void decode_batch_flat_pieces(const Db& db, const std::vector<std::string>& vins, int64_t now,
                              int32_t current_year,
                              const std::function<void(std::span<std::vector<FlatResult>>)>& take) {
  result_pieces<FlatResult>(db, vins, now, current_year, take);
}

void decode_batch_json_pieces(const Db& db, const std::vector<std::string>& vins, bool flat,
                              int64_t now, int32_t current_year,
                              const std::function<void(std::span<const std::string_view>)>& take) {
  std::shared_ptr<WorkerPool> pool = batch_pool();
  const JsonBatch batch{db, vins, flat, now, current_year};
  const size_t n = vins.size();
  if (n <= CALLER_BATCH_LIMIT) {
    std::string text = batch.piece(0, n);
    std::string_view view = text;
    take({&view, 1});
    return;
  }
  const size_t per_piece = json_piece_vins(n, pool->size());
  pieces_in_order(
      *pool, (n + per_piece - 1) / per_piece,
      [&](size_t k) { return batch.piece(k * per_piece, std::min(n, (k + 1) * per_piece)); }, take);
}

}  // namespace tamberok
