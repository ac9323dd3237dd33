#include "base/worker_pool.h"

#include <pthread.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach/mach.h>
#else
#include <fcntl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/clock.h"

namespace tessaly {

constinit thread_local CallMarker* current_call_marker = nullptr;

namespace {

// The pool whose worker the current thread is, if any.
thread_local const WorkerPool* current_pool = nullptr;

// How often the watcher looks: at the quickest while calls block and the
// spares' room still grows, every kSteadyLook once it is full, backing off to
// the slowest while no call blocks, so that a warm scan sees it 60 times a
// second at most.
constexpr std::chrono::microseconds kQuickestLook{50};
constexpr std::chrono::microseconds kSteadyLook{1000};
constexpr std::chrono::microseconds kSlowestLook{16000};
// Looks in a row without a blocking call, besides the linger, before spares
// stop taking jobs: a watcher that got no processor for a while must not
// take its own absence for calls that returned at once.
constexpr unsigned kCalmLooks = 8;

#if !defined(__APPLE__)
// Whether the thread sleeps now, as its state in /proc/self/task/<tid>/stat
// says ('S' or 'D'); nothing where that cannot be read.
std::optional<bool> thread_sleeps(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  // "tid (name) state ...": the name may hold anything but ends at the last
  // ") " of the line, which this prefix holds for the names pool threads have.
  const std::string_view line(text, static_cast<std::size_t>(n));
  const std::size_t close = line.rfind(") ");
  if (close == std::string_view::npos || close + 2 >= line.size()) return std::nullopt;
  const char state = line[close + 2];
  return state == 'S' || state == 'D';
}
#endif

// Tells whether a pool thread sleeps in the kernel now rather than runs or
// waits for a processor, so that a worker preempted inside a call on a busy
// machine is not taken for one waiting for a device.
class ThreadProbe {
 public:
  // Set by the probed thread itself, before it makes its first call.
  void set_to_current_thread() noexcept {
#if defined(__APPLE__)
    port_.store(::pthread_mach_thread_np(::pthread_self()), std::memory_order_relaxed);
#else
    tid_.store(static_cast<pid_t>(::syscall(SYS_gettid)), std::memory_order_relaxed);
#endif
  }

  // Called by the watcher; a thread whose state cannot be read counts as
  // sleeping, as its unchanged call marker already says it does not return.
  bool sleeps() const noexcept {
#if defined(__APPLE__)
    const mach_port_t port = port_.load(std::memory_order_relaxed);
    if (port == MACH_PORT_NULL) return true;
    thread_basic_info_data_t info{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    if (::thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&info), &count) !=
        KERN_SUCCESS)
      return true;
    return info.run_state == TH_STATE_WAITING || info.run_state == TH_STATE_UNINTERRUPTIBLE;
#else
    const pid_t tid = tid_.load(std::memory_order_relaxed);
    return tid == 0 || thread_sleeps(tid).value_or(true);
#endif
  }

 private:
#if defined(__APPLE__)
  std::atomic<mach_port_t> port_{MACH_PORT_NULL};
#else
  std::atomic<pid_t> tid_{0};
#endif
};

}  // namespace

struct alignas(64) WorkerPool::CallSlot {
  CallMarker marker;
  ThreadProbe probe;
  // The watcher's own: the marker's word at its last look, and whether the
  // thread was seen asleep in that call.
  std::uint64_t seen_word = 0;
  bool seen_asleep = false;
  std::atomic<SpareState> state{SpareState::kFree};  // for the spares' slots
};

WorkerPool::WorkerPool(std::size_t thread_count) {
  if (thread_count == 0) thread_count = 1;
  try {
    slot_count_ = std::max(thread_count, kMaxCallThreads);
    slots_ = std::make_unique<CallSlot[]>(slot_count_);
    spare_threads_.resize(slot_count_);
    threads_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) {
      try {
        threads_.emplace_back([this, i] { worker_main(i); });
      } catch (const std::system_error&) {
        // A system that refuses more threads still gets a working pool from
        // the ones it granted; one that grants none cannot run a scan at all.
        if (threads_.empty()) throw;
        break;
      }
    }
  } catch (...) {
    // Out of memory, or no thread at all: the threads already started must
    // be joined, as destroying a joinable thread ends the process.
    stop_and_join();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_available_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::is_worker_thread() const { return current_pool == this; }

namespace {
// Slots a drained queue keeps; a larger block is given back.
constexpr std::size_t kKeptJobSlots = 4096;
}  // namespace

void WorkerPool::JobQueue::reserve(std::size_t more) {
  if (more <= capacity_ - count_) return;
  std::size_t capacity = capacity_ == 0 ? 64 : 2 * capacity_;
  while (capacity - count_ < more) capacity *= 2;
  auto slots = std::make_unique<Job[]>(capacity);
  for (std::size_t i = 0; i < count_; ++i) slots[i] = std::move(slots_[slot(i)]);
  slots_ = std::move(slots);
  capacity_ = capacity;
  head_ = 0;
}

void WorkerPool::JobQueue::push_back(Job&& job) {
  make_room();
  slots_[slot(count_)] = std::move(job);
  ++count_;
}

void WorkerPool::JobQueue::push_front(Job&& job) {
  make_room();
  head_ = (head_ + capacity_ - 1) & (capacity_ - 1);
  slots_[head_] = std::move(job);
  ++count_;
}

WorkerPool::Job WorkerPool::JobQueue::take_back() {
  Job job = std::move(slots_[slot(count_ - 1)]);
  --count_;
  if (count_ == 0) {
    head_ = 0;
    if (capacity_ > kKeptJobSlots) {
      slots_.reset();
      capacity_ = 0;
    }
  }
  return job;
}

void WorkerPool::push(Job job, bool deferred) {
  bool wake = false;
  bool wake_spare = false;
  {
    std::lock_guard lock(mutex_);
    if (deferred) {
      queue_.push_front(std::move(job));
    } else {
      queue_.push_back(std::move(job));
    }
    wake = sleeping_ > 0;
    wake_spare = !wake && lingering_ > 0 && may_take_job();
  }
  // A sleeping worker goes first: waking it starts no thread's work that a
  // worker could do.
  if (wake) {
    work_available_.notify_one();
  } else if (wake_spare) {
    spare_work_.notify_one();
  }
}

void WorkerPool::push_all(JobScope* scope, std::span<JobBody> bodies) {
  std::size_t wake = 0;
  std::size_t wake_spares = 0;
  {
    std::lock_guard lock(mutex_);
    queue_.reserve(bodies.size());
    for (JobBody& body : bodies) queue_.push_back(Job{scope, std::move(body)});
    wake = std::min(sleeping_, bodies.size());
    if (wake < bodies.size() && lingering_ > 0 && may_take_job()) {
      wake_spares = std::min(lingering_, bodies.size() - wake);
    }
  }
  // Sleeping workers go first, as for one job.
  for (std::size_t i = 0; i < wake; ++i) work_available_.notify_one();
  for (std::size_t i = 0; i < wake_spares; ++i) spare_work_.notify_one();
}

bool WorkerPool::run_one() {
  std::unique_lock lock(mutex_);
  if (queue_.empty()) return false;
  Job job = queue_.take_back();
  lock.unlock();
  run(job);
  return true;
}

void WorkerPool::run(Job& job) {
  std::exception_ptr failure;
  try {
    job.body();
  } catch (...) {
    failure = std::current_exception();
  }
  // The job's captures may own resources whose release others wait for;
  // they go before the scope learns the job is done.
  job.body = JobBody();
  job.scope->finish_job(std::move(failure));
}

void WorkerPool::worker_main(std::size_t slot) {
  current_pool = this;
  slots_[slot].probe.set_to_current_thread();
  current_call_marker = &slots_[slot].marker;
  std::unique_lock lock(mutex_);
  while (true) {
    if (!queue_.empty()) {
      Job job = queue_.take_back();
      lock.unlock();
      run(job);
      lock.lock();
      continue;
    }
    if (stopping_) return;
    ++sleeping_;
    work_available_.wait(lock);
    --sleeping_;
  }
}

void WorkerPool::wake_all() {
  // Taking the lock orders this wake-up after any helper's check of its
  // condition, so the helper cannot miss it.
  { std::lock_guard lock(mutex_); }
  work_available_.notify_all();
}

// --- Spare threads for blocking calls ------------------------------------------

void WorkerPool::begin_watch() noexcept {
  std::lock_guard watches_lock(watches_mutex_);
  if (watches_++ > 0) return;
  const std::size_t workers = threads_.size();
  const std::size_t cap = std::min(configured_call_threads(), slot_count_);
  if (cap <= workers) return;
  {
    std::lock_guard lock(mutex_);
    call_cap_ = cap;
    spares_allowed_ = true;
    calm_looks_ = 0;
    watch_started_ = monotonic_now();
  }
  full_room_ns_.store(0, std::memory_order_relaxed);
  {
    std::lock_guard watch_lock(watch_mutex_);
    watch_stop_ = false;
  }
  try {
    watcher_ = std::thread([this] { watch_main(); });
  } catch (...) {
    // Without a watcher there are no spares; the workers scan alone.
    std::lock_guard lock(mutex_);
    spares_allowed_ = false;
  }
}

void WorkerPool::end_watch() noexcept {
  std::lock_guard watches_lock(watches_mutex_);
  if (--watches_ > 0) return;
  if (watcher_.joinable()) {
    {
      std::lock_guard watch_lock(watch_mutex_);
      watch_stop_ = true;
    }
    watch_wake_.notify_all();
    watcher_.join();
  }
  {
    // A spare leaves once the queue is empty or spares are not allowed; it
    // may still be finishing a job of another user of the pool.
    std::unique_lock lock(mutex_);
    spares_allowed_ = false;
    spare_work_.notify_all();
    spares_gone_.wait(lock, [this] { return spares_ == 0; });
    spare_room_ = 0;
  }
  join_finished_spares();
}

void WorkerPool::watch_main() {
  // The first look comes soon: a cold scan blocks from its first listing on.
  std::chrono::microseconds period = kSteadyLook;
  std::unique_lock watch_lock(watch_mutex_);
  while (!watch_stop_) {
    watch_wake_.wait_for(watch_lock, period);
    if (watch_stop_) break;
    watch_lock.unlock();
    const Look seen = look(period == kQuickestLook);
    const bool room_full = lend_spares(seen.stuck);
    // Looks come quickly from a call that may be blocking on until the room
    // is full, then steadily until calls return at once again.
    if (seen.stuck > 0 && room_full) {
      period = kSteadyLook;
    } else if (seen.stuck > 0 || seen.maybe_stuck) {
      period = kQuickestLook;
    } else {
      period = std::min(period * 2, kSlowestLook);
    }
    join_finished_spares();
    watch_lock.lock();
  }
}

WorkerPool::Look WorkerPool::look(bool quick) {
  const std::size_t workers = threads_.size();
  Look seen;
  std::uint64_t in_call = 0;
  std::uint64_t spares = 0;
  std::uint64_t raw_stuck = 0;
  // Spares take slots below the cap only.
  const std::size_t used_slots = std::max(workers, call_cap_);
  for (std::size_t i = 0; i < used_slots; ++i) {
    CallSlot& slot = slots_[i];
    const std::uint64_t word = slot.marker.word.load(std::memory_order_relaxed);
    const std::uint64_t before = std::exchange(slot.seen_word, word);
    if (i >= workers) {
      if (slot.state.load(std::memory_order_acquire) != SpareState::kRunning) {
        slot.seen_word = ~std::uint64_t{0};  // a spare started later is new
        continue;
      }
      ++spares;
    }
    if ((word & 1) == 0) {
      slot.seen_asleep = false;
      continue;
    }
    ++in_call;
    const bool same_call = word == before;
    raw_stuck += same_call;
    if (i >= workers || spare_room_ > 0) {
      // Spares run only while calls block, and while they may run a worker's
      // unchanged call is taken as blocking too.
      seen.stuck += same_call;
      slot.seen_asleep = false;
      continue;
    }
    // Before that, a worker counts only when the system saw it asleep inside
    // a call at the look before and, at this one, still in that call or
    // asleep in the next: a cold walk's calls are each short, but follow one
    // another. A worker that ran or waited for a processor (a busy machine,
    // warm) never counts. A worker asleep in a call at a slow look brings the
    // next look quickly.
    const bool asleep_before = slot.seen_asleep;
    slot.seen_asleep = false;
    if (!quick || same_call || asleep_before) {
      slot.seen_asleep = slot.probe.sleeps();
      if (asleep_before && (same_call || slot.seen_asleep)) {
        ++seen.stuck;
      } else if (slot.seen_asleep) {
        seen.maybe_stuck = true;
      }
    }
  }
  std::size_t queued = 0;
  std::size_t held_back = 0;
  {
    std::lock_guard lock(mutex_);
    queued = queue_.size();
    if (queued > 0) held_back = lingering_;
  }
  // The watcher alone writes these, so a load and a store add.
  const auto add = [](std::atomic<std::uint64_t>& sum, std::uint64_t value) {
    sum.store(sum.load(std::memory_order_relaxed) + value, std::memory_order_relaxed);
  };
  add(looks_, 1);
  add(seen_in_call_, in_call);
  add(seen_waiting_, seen.stuck);
  add(seen_stuck_, raw_stuck);
  add(seen_spares_, spares);
  add(seen_queued_, queued);
  add(seen_held_back_, held_back);
  if (spares > most_spares_.load(std::memory_order_relaxed))
    most_spares_.store(spares, std::memory_order_relaxed);
  return seen;
}

bool WorkerPool::lend_spares(std::size_t stuck) {
  const std::size_t workers = threads_.size();
  const std::size_t most_room = call_cap_ - workers;
  std::vector<std::size_t> starting;
  bool room_full = false;
  {
    std::lock_guard lock(mutex_);
    if (!spares_allowed_) return false;
    const Instant now = monotonic_now();
    if (stuck > 0) {
      last_stuck_ = now;
      calm_looks_ = 0;
      // Calls block while directories wait: spares may take every queued
      // directory, and the room at least doubles at each such look, so that
      // the calls in flight reach the cap within a look or two, as a pool of
      // that many workers would.
      if (!queue_.empty()) {
        spare_room_ = std::min(
            most_room, std::max(2 * spare_room_, busy_spares_ + std::max(stuck, queue_.size())));
        if (spare_room_ == most_room && full_room_ns_.load(std::memory_order_relaxed) == 0)
          full_room_ns_.store(std::max<std::int64_t>(1, (now - watch_started_).count()),
                              std::memory_order_relaxed);
      }
    } else if (spare_room_ > 0 && ++calm_looks_ >= kCalmLooks &&
               now - last_stuck_ >= spare_linger_) {
      // Calls have returned at once for a while: spares finish their jobs,
      // take no more and leave after their linger.
      spare_room_ = 0;
      room_drops_.store(room_drops_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    room_full = spare_room_ == most_room;
    if (spare_room_ <= busy_spares_ || queue_.empty()) return room_full;
    // Lingering spares take the jobs first; new ones start for the rest.
    const std::size_t room = spare_room_ - busy_spares_;
    const std::size_t wake = std::min({lingering_, queue_.size(), room});
    for (std::size_t i = 0; i < wake; ++i) spare_work_.notify_one();
    const std::size_t idle = spares_ - busy_spares_;
    std::size_t count = std::min(room, queue_.size());
    count = count > idle ? count - idle : 0;
    for (std::size_t i = workers; i < slot_count_ && count > 0; ++i) {
      if (slots_[i].state.load(std::memory_order_relaxed) != SpareState::kFree) continue;
      try {
        starting.push_back(i);
      } catch (const std::bad_alloc&) {
        break;
      }
      slots_[i].state.store(SpareState::kRunning, std::memory_order_relaxed);
      ++spares_;
      --count;
    }
  }
  for (const std::size_t slot : starting) {
    try {
      spare_threads_[slot] = std::thread([this, slot] { spare_main(slot); });
      spares_started_.fetch_add(1, std::memory_order_relaxed);
    } catch (...) {
      // Refused (or no memory): the pool goes on with the threads it has.
      spares_refused_.fetch_add(1, std::memory_order_relaxed);
      std::lock_guard lock(mutex_);
      slots_[slot].state.store(SpareState::kFree, std::memory_order_relaxed);
      if (--spares_ == 0) spares_gone_.notify_all();
    }
  }
  return room_full;
}

void WorkerPool::spare_main(std::size_t slot) {
  current_pool = this;
  slots_[slot].probe.set_to_current_thread();
  current_call_marker = &slots_[slot].marker;
  std::unique_lock lock(mutex_);
  const std::chrono::nanoseconds linger = spare_linger_;
  Instant idle_since = monotonic_now();
  while (spares_allowed_) {
    if (may_take_job()) {
      Job job = queue_.take_back();
      ++busy_spares_;
      lock.unlock();
      run(job);
      lock.lock();
      --busy_spares_;
      idle_since = monotonic_now();
      continue;
    }
    // Nothing queued, or enough spares at work for the threads that wait: the
    // spare stays a while, in case either changes, rather than leave now and
    // be started again a moment later; while calls still block it stays on
    // (a cold walk finds directories a listing at a time).
    if (const Instant now = monotonic_now(); now - idle_since >= linger) {
      if (spare_room_ == 0) break;
      idle_since = now;
    }
    ++lingering_;
    spare_work_.wait_until(lock, idle_since + linger,
                           [this] { return !spares_allowed_ || may_take_job(); });
    --lingering_;
  }
  slots_[slot].state.store(SpareState::kFinished, std::memory_order_release);
  if (--spares_ == 0) spares_gone_.notify_all();
}

WatchStats WorkerPool::watch_stats() const {
  return WatchStats{looks_.load(std::memory_order_relaxed),
                    seen_in_call_.load(std::memory_order_relaxed),
                    seen_waiting_.load(std::memory_order_relaxed),
                    seen_spares_.load(std::memory_order_relaxed),
                    most_spares_.load(std::memory_order_relaxed),
                    seen_queued_.load(std::memory_order_relaxed),
                    seen_stuck_.load(std::memory_order_relaxed),
                    seen_held_back_.load(std::memory_order_relaxed),
                    static_cast<std::uint64_t>(full_room_ns_.load(std::memory_order_relaxed)),
                    room_drops_.load(std::memory_order_relaxed)};
}

bool WorkerPool::may_take_job() const { return !queue_.empty() && busy_spares_ < spare_room_; }

void WorkerPool::join_finished_spares() {
  const std::size_t workers = threads_.size();
  for (std::size_t i = workers; i < slot_count_; ++i) {
    if (slots_[i].state.load(std::memory_order_acquire) != SpareState::kFinished) continue;
    spare_threads_[i].join();
    slots_[i].state.store(SpareState::kFree, std::memory_order_relaxed);
  }
}

std::size_t configured_call_threads() {
  const char* value = std::getenv("TESSALY_IO_THREADS");
  if (value == nullptr) return kDefaultCallThreads;
  if (std::string_view(value) == "0") return 0;
  const auto count = parse_thread_count(value);
  return count ? std::min(*count, kMaxCallThreads) : kDefaultCallThreads;
}

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

std::size_t configured_thread_count() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (const char* value = std::getenv(name)) {
      if (auto count = parse_thread_count(value)) return *count;
    }
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

WorkerPool& worker_pool() {
  // Never destroyed: a thread still inside a scan when the process exits
  // must not find its pool joined underneath it.
  static WorkerPool* const pool = new WorkerPool(configured_thread_count());
  return *pool;
}

std::string spawn_failure_message(const std::system_error& error) {
  return std::string(kSpawnFailurePrefix) + error.code().message();
}

std::string failure_text(std::string_view text) noexcept {
  try {
    return std::string(text);
  } catch (const std::bad_alloc& e) {
    return e.what();
  }
}

JobScope::JobScope(WorkerPool& pool) : pool_(pool) {}

JobScope::~JobScope() { wait_for_jobs(); }

void JobScope::spawn(JobBody job) { add_job(std::move(job), false); }

void JobScope::spawn_deferred(JobBody job) { add_job(std::move(job), true); }

void JobScope::spawn_all(std::span<JobBody> jobs) {
  if (jobs.empty()) return;
  // Counted before they are queued, as one job is (see add_job).
  pending_.fetch_add(jobs.size(), std::memory_order_relaxed);
  try {
    pool_.push_all(this, jobs);
  } catch (...) {
    for (std::size_t i = 0; i < jobs.size(); ++i) finish_job(nullptr);
    throw;
  }
}

void JobScope::add_job(JobBody job, bool deferred) {
  // No lock: a count that grows wakes no waiter, and it grows from a job of
  // the scope (so never from zero) or from a thread that has not yet waited.
  pending_.fetch_add(1, std::memory_order_relaxed);
  // Counted before it is queued, so that it cannot finish uncounted; a job
  // the queue found no memory for is counted off again, or waiting for the
  // scope would never end.
  try {
    pool_.push(WorkerPool::Job{this, std::move(job)}, deferred);
  } catch (...) {
    finish_job(nullptr);
    throw;
  }
}

void JobScope::finish_job(std::exception_ptr failure) {
  // A job that is not the last to finish and failed in no way counts itself
  // off without the lock: no waiter wakes for it. The last one takes the lock
  // to count off, so that a waiter that sees no job left has waited it out
  // and may destroy the scope.
  if (!failure) {
    std::size_t pending = pending_.load(std::memory_order_relaxed);
    while (pending > 1) {
      if (pending_.compare_exchange_weak(pending, pending - 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed))
        return;
    }
  }
  bool wake_helpers = false;
  {
    std::lock_guard lock(mutex_);
    if (failure && !failure_) failure_ = std::move(failure);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      all_done_.notify_all();
      wake_helpers = helping_waiters_ > 0;
    }
  }
  // The scope may be gone from here on; only the pool is touched.
  if (wake_helpers) pool_.wake_all();
}

void JobScope::wait_for_jobs() {
  if (!pool_.is_worker_thread()) {
    std::unique_lock lock(mutex_);
    all_done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
    return;
  }
  {
    std::lock_guard lock(mutex_);
    ++helping_waiters_;
  }
  while (pending_.load(std::memory_order_acquire) != 0) {
    if (pool_.run_one()) continue;
    std::unique_lock lock(pool_.mutex_);
    ++pool_.sleeping_;
    pool_.work_available_.wait(lock, [this] {
      return !pool_.queue_.empty() || pending_.load(std::memory_order_acquire) == 0;
    });
    --pool_.sleeping_;
  }
  // Passing through the scope's lock waits out a finishing job that is still
  // inside it, so the scope can be destroyed as soon as this returns.
  std::lock_guard lock(mutex_);
  --helping_waiters_;
}

void JobScope::wait() {
  wait_for_jobs();
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tessaly
