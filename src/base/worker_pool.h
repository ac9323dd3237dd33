// The process-wide worker pool that lists and sizes directories for both scan
// engines, and the job scopes through which work is submitted to it.
//
// Built on standard threads, mutexes and condition variables only, so that
// ThreadSanitizer sees every hand-off between a submitter and a worker.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/blocking_call.h"
#include "base/clock.h"

namespace tessaly {

class JobScope;

// A job's body: a move-only callable taking and returning nothing (not every
// standard library this builds with has std::move_only_function). A callable
// of at most kInlineBytes that moves without throwing lives inside the body,
// so that queuing a directory's job costs no allocation of its own; a larger
// one is kept on the heap.
class JobBody {
 public:
  static constexpr std::size_t kInlineBytes = 112;
  // Whether a callable of type F is kept inside the body.
  template <typename F>
  static constexpr bool kFitsInline =
      sizeof(F) <= kInlineBytes &&
      alignof(F) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<F>;

  JobBody() = default;
  template <typename F>
  requires(!std::same_as<std::remove_cvref_t<F>, JobBody> &&
           std::invocable<std::remove_cvref_t<F>&>) JobBody(F&& body) {
    using G = std::remove_cvref_t<F>;
    if constexpr (kFitsInline<G>) {
      ::new (static_cast<void*>(storage_)) G(std::forward<F>(body));
    } else {
      *reinterpret_cast<G**>(storage_) = new G(std::forward<F>(body));
    }
    ops_ = &kOps<G>;
  }
  JobBody(JobBody&& other) noexcept { take(other); }
  JobBody& operator=(JobBody&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~JobBody() { reset(); }

  void operator()() { ops_->call(storage_); }
  explicit operator bool() const { return ops_ != nullptr; }

 private:
  struct Ops {
    void (*call)(std::byte* storage);
    // Moves the callable from `from` to `to`, leaving `from` with nothing.
    void (*relocate)(std::byte* to, std::byte* from) noexcept;
    void (*destroy)(std::byte* storage) noexcept;
  };
  template <typename G>
  static G& held(std::byte* storage) {
    if constexpr (kFitsInline<G>) {
      return *std::launder(reinterpret_cast<G*>(storage));
    } else {
      return **reinterpret_cast<G**>(storage);
    }
  }
  template <typename G>
  static void call_held(std::byte* storage) {
    held<G>(storage)();
  }
  template <typename G>
  static void relocate_held(std::byte* to, std::byte* from) noexcept {
    if constexpr (kFitsInline<G>) {
      G& source = held<G>(from);
      ::new (static_cast<void*>(to)) G(std::move(source));
      source.~G();
    } else {
      *reinterpret_cast<G**>(to) = *reinterpret_cast<G**>(from);
    }
  }
  template <typename G>
  static void destroy_held(std::byte* storage) noexcept {
    if constexpr (kFitsInline<G>) {
      held<G>(storage).~G();
    } else {
      delete *reinterpret_cast<G**>(storage);
    }
  }
  template <typename G>
  static constexpr Ops kOps{&call_held<G>, &relocate_held<G>, &destroy_held<G>};

  void take(JobBody& other) noexcept {
    ops_ = std::exchange(other.ops_, nullptr);
    if (ops_ != nullptr) ops_->relocate(storage_, other.storage_);
  }
  void reset() noexcept {
    if (const Ops* ops = std::exchange(ops_, nullptr)) ops->destroy(storage_);
  }

  alignas(std::max_align_t) std::byte storage_[kInlineBytes];
  const Ops* ops_ = nullptr;
};

// The most threads whose blocking calls a pool keeps in flight at once
// (its workers and spares together) unless TESSALY_IO_THREADS says otherwise.
inline constexpr std::size_t kDefaultCallThreads = 64;
// The most TESSALY_IO_THREADS may ask for.
inline constexpr std::size_t kMaxCallThreads = 256;

// How long after the last blocking call spares take no more jobs, and how
// long a spare then waits for a job before it leaves.
inline constexpr std::chrono::milliseconds kSpareLinger{20};

// What a pool's watcher saw, summed over all its looks so far: at each look
// the threads found inside a blocking call, those of them found blocking (in
// the same call as at the look before, and for a worker asleep in it), the
// spares running, the jobs queued, the threads found in the same call as at
// the look before whatever their state, and the spares that waited for a job
// to take while jobs were queued. Divided by `looks`, the mean of each per
// look.
struct WatchStats {
  std::uint64_t looks = 0;
  std::uint64_t in_call = 0;
  std::uint64_t waiting = 0;
  std::uint64_t spares = 0;
  // The most spares seen running at once.
  std::uint64_t most_spares = 0;
  std::uint64_t queued = 0;
  std::uint64_t stuck = 0;
  std::uint64_t held_back = 0;
  // From the start of the latest watch to the look that let spares fill
  // the cap, in nanoseconds; 0 when none did.
  std::uint64_t full_room_ns = 0;
  // How often spares were told to take no more jobs while a watch lived
  // (calls had returned at once for a while).
  std::uint64_t room_drops = 0;
};

// A fixed set of worker threads sharing one job queue, newest job first.
// Directory jobs are coarse (one system call per entry at least), so a single
// queue costs nothing measurable, and taking the newest job first keeps a
// walk depth-first: the set of waiting jobs and the descriptors their parents
// hold stay small.
//
// While a BlockingCallWatch lives, a watcher thread looks at the threads'
// call markers (BlockingCallScope). A spare found inside the same call as at
// the look before (its serial unchanged: nothing is timed per call) is
// blocking; a worker is when the system says it sleeps inside a call at two
// looks in a row (the same call or the next: a cold walk's calls are short
// but follow one another), never when it runs or waits for a processor.
// While calls block and jobs are queued, the number of spare threads that may
// take queued jobs at least doubles at each look, up to TESSALY_IO_THREADS
// threads in all, so that a cold tree is read with as many requests in flight
// as the device serves rather than one per worker. Once no call has blocked
// for kSpareLinger and several looks, spares take no more jobs and leave
// after their linger; until then a spare with nothing to take waits for the
// next directory (a cold walk finds them a listing at a time, and a spare
// that left at every empty moment would be started again a moment later).
// All are gone when the watch ends. Calls that return at once (a warm tree)
// never start one. A spare the system refuses is done without.
class WorkerPool {
 public:
  // Starts `thread_count` workers (at least one), or as many as the system
  // grants when it refuses some. Throws std::system_error when it grants none
  // and std::bad_alloc when memory runs out, having joined the workers it
  // started.
  explicit WorkerPool(std::size_t thread_count);
  // Lets the workers finish every queued job, then joins them. No scope of
  // this pool may still be waiting.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t thread_count() const { return threads_.size(); }

  // True when the calling thread is one of this pool's workers or spares.
  bool is_worker_thread() const;

  // Spare threads started so far, and those the system refused (or had no
  // memory for).
  std::size_t spares_started() const { return spares_started_.load(std::memory_order_relaxed); }
  std::size_t spares_refused() const { return spares_refused_.load(std::memory_order_relaxed); }
  // What the watcher saw over the pool's life (for benchmarks).
  WatchStats watch_stats() const;

  // How long a spare with nothing to take stays, for spares started from now
  // on, and how long after the last blocking call spares keep taking jobs
  // (tests hold spares with a long one); kSpareLinger unless set.
  void set_spare_linger(std::chrono::nanoseconds linger) {
    const std::lock_guard lock(mutex_);
    spare_linger_ = linger;
  }

 private:
  friend class JobScope;
  friend class BlockingCallWatch;

  // One thread's call marker and what the watcher last saw of it.
  struct CallSlot;
  enum class SpareState : std::uint8_t { kFree, kRunning, kFinished };

  struct Job {
    JobScope* scope = nullptr;
    JobBody body;
  };

  // The queued jobs, in one block of slots used as a ring: a job is queued
  // and taken without an allocation of its own, the block doubling when full
  // (and given back once the queue has drained after a wide walk).
  class JobQueue {
   public:
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    // Strong guarantee: when the block cannot grow, std::bad_alloc reaches
    // the caller and nothing is queued.
    void push_back(Job&& job);
    void push_front(Job&& job);
    // Makes room for `more` jobs, so that as many pushes cannot throw.
    void reserve(std::size_t more);
    // The newest job (at the back), taken off the queue; the queue must not
    // be empty.
    Job take_back();

   private:
    void make_room() { reserve(1); }
    std::size_t slot(std::size_t index) const { return (head_ + index) & (capacity_ - 1); }

    std::unique_ptr<Job[]> slots_;
    std::size_t capacity_ = 0;  // 0 or a power of two
    std::size_t head_ = 0;
    std::size_t count_ = 0;
  };

  // Strong guarantee: a push that throws (out of memory) queued nothing.
  void push(Job job, bool deferred);
  // Queues `bodies` for `scope` behind one another; strong guarantee too.
  void push_all(JobScope* scope, std::span<JobBody> bodies);
  void stop_and_join();
  // Runs one queued job on the calling thread; false when the queue is empty.
  bool run_one();
  void run(Job& job);
  void worker_main(std::size_t slot);
  void wake_all();

  void begin_watch() noexcept;
  void end_watch() noexcept;
  void watch_main();
  // What one look found: the calls blocking, and whether a worker slept in a
  // call not seen before, which may be blocking.
  struct Look {
    std::size_t stuck = 0;
    bool maybe_stuck = false;
  };
  // `quick`: the last look was a moment ago, so a worker's new call is not
  // checked (it is at the next look if it has not returned).
  Look look(bool quick);
  // True when the room for spares is at the cap.
  bool lend_spares(std::size_t stuck);
  void spare_main(std::size_t slot);
  // Under mutex_: whether a spare may take the newest queued job now.
  bool may_take_job() const;
  void join_finished_spares();

  mutable std::mutex mutex_;
  std::condition_variable work_available_;
  JobQueue queue_;
  std::size_t sleeping_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;

  // Slots 0 .. workers-1 are the workers', the rest the spares'.
  std::unique_ptr<CallSlot[]> slots_;
  std::size_t slot_count_ = 0;
  // Spare threads by slot; touched only by the watcher
  // and, once it has been joined, by end_watch.
  std::vector<std::thread> spare_threads_;
  // Under mutex_: spares running, and whether they may run.
  std::size_t spares_ = 0;
  // Under mutex_: how many spares may run jobs at once, and when a call was
  // last found blocking.
  std::size_t spare_room_ = 0;
  Instant last_stuck_{};
  // Under mutex_: looks in a row that found no call blocking, and when the
  // watch began.
  unsigned calm_looks_ = 0;
  Instant watch_started_{};
  // Under mutex_: spares running a job, and spares waiting for one on
  // spare_work_.
  std::size_t busy_spares_ = 0;
  std::size_t lingering_ = 0;
  // Under mutex_.
  std::chrono::nanoseconds spare_linger_ = kSpareLinger;
  bool spares_allowed_ = false;
  std::condition_variable spare_work_;
  // The cap on workers and spares together; set before the watcher starts.
  std::size_t call_cap_ = 0;
  std::condition_variable spares_gone_;
  std::atomic<std::size_t> spares_started_{0};
  std::atomic<std::size_t> spares_refused_{0};
  // Written by the watcher alone; see WatchStats.
  std::atomic<std::uint64_t> looks_{0};
  std::atomic<std::uint64_t> seen_in_call_{0};
  std::atomic<std::uint64_t> seen_waiting_{0};
  std::atomic<std::uint64_t> seen_spares_{0};
  std::atomic<std::uint64_t> most_spares_{0};
  std::atomic<std::uint64_t> seen_queued_{0};
  std::atomic<std::uint64_t> seen_stuck_{0};
  std::atomic<std::uint64_t> seen_held_back_{0};
  std::atomic<std::int64_t> full_room_ns_{0};
  std::atomic<std::uint64_t> room_drops_{0};

  // Orders the starts and ends of watches; held while the watcher is joined.
  std::mutex watches_mutex_;
  std::size_t watches_ = 0;  // under watches_mutex_
  std::thread watcher_;      // under watches_mutex_
  // Where the watcher sleeps between looks.
  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  bool watch_stop_ = false;  // under watch_mutex_
};

// While it lives, the pool lends queued jobs to spare threads when its
// threads wait in blocking calls (see WorkerPool). Watches may overlap; the
// watcher runs from the first one's start to the last one's end, which waits
// for every spare to leave and joins it. Never fails: a watcher the system
// refuses means no spares, and TESSALY_IO_THREADS=0 (or a count not above the
// pool's workers) turns them off; a positive count caps workers and spares
// together (at kMaxCallThreads).
class BlockingCallWatch {
 public:
  explicit BlockingCallWatch(WorkerPool& pool) noexcept : pool_(pool) { pool_.begin_watch(); }
  ~BlockingCallWatch() { pool_.end_watch(); }
  BlockingCallWatch(const BlockingCallWatch&) = delete;
  BlockingCallWatch& operator=(const BlockingCallWatch&) = delete;

 private:
  WorkerPool& pool_;
};

// The cap on workers and spares together that TESSALY_IO_THREADS gives:
// kDefaultCallThreads when unset or not a count, 0 for "0", at most
// kMaxCallThreads. A cap not above a pool's workers means no spares.
std::size_t configured_call_threads();

// A positive decimal count (an optional leading "+", then digits only), as
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS are read; nothing for anything else,
// zero included.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The pool size the environment asks for: RAYON_NUM_THREADS when it holds a
// positive count, else RAYON_RS_NUM_CPUS when it does, else the number of
// online processors (at least 1).
std::size_t configured_thread_count();

// The process-wide pool, created with configured_thread_count() workers on
// first use and kept for the life of the process. A first use that cannot
// start a single worker, or runs out of memory, throws as the constructor
// does; the next use tries again.
WorkerPool& worker_pool();

inline constexpr std::string_view kSpawnFailurePrefix = "failed to spawn thread: ";

// What a scan reports when the system refuses it a thread: kSpawnFailurePrefix
// followed by the system's description of `error`.
std::string spawn_failure_message(const std::system_error& error);

// `text` as the error a scan ends with once something has gone wrong, or
// "std::bad_alloc" (short enough to need no memory) when there is no memory
// for it.
std::string failure_text(std::string_view text) noexcept;

// Runs `scan(pool)` on the process-wide pool, where running out fails that
// scan alone: a pool whose threads the system refuses gives
// spawn_failure_message, and memory running out gives the exception's own
// text. `Outcome` is a std::expected whose error is a std::string; `scan`
// must have ended all it started when it returns or throws. The scan's
// blocking calls are watched (BlockingCallWatch), and its spare threads are
// gone when this returns.
template <typename Outcome, typename Scan>
Outcome run_on_worker_pool(Scan&& scan) {
  try {
    WorkerPool* pool = nullptr;
    try {
      pool = &worker_pool();
    } catch (const std::system_error& e) {
      return std::unexpected(spawn_failure_message(e));
    }
    const BlockingCallWatch watch(*pool);
    return std::forward<Scan>(scan)(*pool);
  } catch (const std::bad_alloc& e) {
    return std::unexpected(std::string(e.what()));
  }
}

// A group of jobs on a pool whose completion can be awaited. Jobs may spawn
// further jobs into the same scope; wait() returns once every job spawned in
// the scope, transitively, has finished. An exception escaping a job does not
// stop the others: it is kept (the first one only) and rethrown by wait()
// after all of them have finished.
class JobScope {
 public:
  explicit JobScope(WorkerPool& pool = worker_pool());
  // Waits for the scope's jobs; an exception they left is discarded.
  ~JobScope();
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;

  // Queues `job` on the pool as part of this scope. Callable from any thread,
  // including the scope's own jobs while another thread waits. When memory
  // runs out the job is neither queued nor counted and std::bad_alloc
  // reaches the caller.
  void spawn(JobBody job);

  // Like spawn, but the job goes behind every job already queued: for a job
  // that must wait for resources the queued jobs will release.
  void spawn_deferred(JobBody job);

  // Queues every job of `jobs` as spawn would, one after the other (the last
  // one is taken first), under one lock of the pool: the jobs are moved from.
  // When memory runs out none is queued or counted, `jobs` is left as it was
  // and std::bad_alloc reaches the caller.
  void spawn_all(std::span<JobBody> jobs);

  // Blocks until the scope has no unfinished job, then rethrows the first
  // exception a job let escape since the last wait. A waiter that is a worker
  // of the same pool runs queued jobs meanwhile instead of sleeping, so nested
  // scopes cannot starve the pool.
  void wait();

  WorkerPool& pool() const { return pool_; }

 private:
  friend class WorkerPool;

  void add_job(JobBody job, bool deferred);
  void finish_job(std::exception_ptr failure);
  void wait_for_jobs();

  WorkerPool& pool_;
  std::mutex mutex_;
  std::condition_variable all_done_;
  // Jobs not yet finished. It reaches zero only under mutex_ (the last job
  // counts itself off there); helping waiters read it without the lock.
  std::atomic<std::size_t> pending_{0};
  std::size_t helping_waiters_ = 0;
  std::exception_ptr failure_;
};

}  // namespace tessaly
