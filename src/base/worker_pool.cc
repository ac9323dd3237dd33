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
#include <ctime>
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

// How often the watcher looks: at the quickest while threads wait, backing
// off to the slowest while none does, so that a warm scan sees it 250 times
// a second at most.
constexpr std::chrono::microseconds kQuickestLook{50};
constexpr std::chrono::microseconds kSlowestLook{4000};

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

// Tells whether a thread waits for a device. macOS tells its run state.
// Linux: a thread that `confirms` (a worker, whose waiting starts spares) did
// not run all the time since the last look and its state says it sleeps now,
// not that it waits for a processor, so that a busy machine's preempted
// workers start none; for a spare, cheaper, its CPU time grew by less than
// half the time since the last look.
class ThreadProbe {
 public:
  // Set by the probed thread itself, before it makes its first call.
  void set_to_current_thread() noexcept {
#if defined(__APPLE__)
    port_.store(::pthread_mach_thread_np(::pthread_self()), std::memory_order_relaxed);
#else
    clockid_t clock{};
    const bool known = ::pthread_getcpuclockid(::pthread_self(), &clock) == 0;
    clock_.store(clock, std::memory_order_relaxed);
    tid_.store(static_cast<pid_t>(::syscall(SYS_gettid)), std::memory_order_relaxed);
    known_.store(known, std::memory_order_relaxed);
#endif
  }

  // Whether the thread, found inside a call (`in_call`) at the look made at
  // `now`, waits rather than runs. Called by the watcher at every look; a
  // thread that has gone reads as running.
  bool waiting(bool in_call, Instant now, bool confirm) noexcept {
#if defined(__APPLE__)
    (void)now;
    (void)confirm;
    const mach_port_t port = port_.load(std::memory_order_relaxed);
    if (!in_call || port == MACH_PORT_NULL) return false;
    thread_basic_info_data_t info{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    if (::thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&info), &count) !=
        KERN_SUCCESS)
      return false;
    return info.run_state == TH_STATE_WAITING || info.run_state == TH_STATE_UNINTERRUPTIBLE;
#else
    std::int64_t cpu = -1;
    timespec reading{};
    // Only a thread inside a call costs a reading of its processor time.
    if (in_call && known_.load(std::memory_order_relaxed) &&
        ::clock_gettime(clock_.load(std::memory_order_relaxed), &reading) == 0)
      cpu = static_cast<std::int64_t>(reading.tv_sec) * 1'000'000'000 + reading.tv_nsec;
    const std::int64_t wall =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - seen_at_).count();
    if (cpu < 0 || seen_cpu_ < 0) {
      seen_cpu_ = cpu;
      seen_at_ = now;
      return false;
    }
    const std::int64_t ran = cpu - seen_cpu_;
    seen_cpu_ = cpu;
    seen_at_ = now;
    // A thread that ran flat out since the last look does not wait.
    if (!confirm) return ran * 2 < wall;
    if (ran * 10 >= wall * 9) return false;
    // Only a thread that did not run all the time costs a look at its state,
    // which tells a sleeping thread from one that waits for a processor.
    return thread_sleeps(tid_.load(std::memory_order_relaxed)).value_or(ran * 2 < wall);
#endif
  }

 private:
#if defined(__APPLE__)
  std::atomic<mach_port_t> port_{MACH_PORT_NULL};
#else
  std::atomic<clockid_t> clock_{};
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> known_{false};
  // The watcher's own: the last look's reading, -1 when it had none.
  std::int64_t seen_cpu_ = -1;
  Instant seen_at_{};
#endif
};

}  // namespace

struct alignas(64) WorkerPool::CallSlot {
  CallMarker marker;
  ThreadProbe probe;
  // The watcher's own: the marker's word at its last look.
  std::uint64_t seen_word = 0;
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

bool WorkerPool::run_one() {
  std::unique_lock lock(mutex_);
  if (queue_.empty()) return false;
  Job job = std::move(queue_.back());
  queue_.pop_back();
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
      Job job = std::move(queue_.back());
      queue_.pop_back();
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
  }
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
  }
  blocked_.store(0, std::memory_order_relaxed);
  join_finished_spares();
}

void WorkerPool::watch_main() {
  std::chrono::microseconds period = kSlowestLook;
  std::unique_lock watch_lock(watch_mutex_);
  while (!watch_stop_) {
    watch_wake_.wait_for(watch_lock, period);
    if (watch_stop_) break;
    watch_lock.unlock();
    // One look sees a moment; the count it goes by halves from look to look
    // rather than dropping at once, so that spares do not come and go with
    // every call that returns.
    const std::size_t seen = blocked_.load(std::memory_order_relaxed);
    const std::size_t blocked = std::max(count_blocked(), seen / 2);
    period = blocked > 0 ? kQuickestLook : std::min(period * 2, kSlowestLook);
    if (blocked > 0 || seen > 0) lend_spares(blocked);
    join_finished_spares();
    watch_lock.lock();
  }
}

std::size_t WorkerPool::count_blocked() {
  const std::size_t workers = threads_.size();
  const Instant now = monotonic_now();
  std::size_t blocked = 0;
  std::uint64_t in_call = 0;
  std::uint64_t spares = 0;
  std::uint64_t stuck = 0;
  // Spares take slots below the cap only.
  const std::size_t used_slots = std::max(workers, call_cap_);
  for (std::size_t i = 0; i < used_slots; ++i) {
    CallSlot& slot = slots_[i];
    if (i >= workers && slot.state.load(std::memory_order_acquire) != SpareState::kRunning) {
      slot.probe.waiting(false, now, false);
      continue;
    }
    if (i >= workers) ++spares;
    const std::uint64_t word = slot.marker.word.load(std::memory_order_relaxed);
    in_call += word & 1;
    stuck += (word & 1) != 0 && word == slot.seen_word;
    slot.seen_word = word;
    if (slot.probe.waiting((word & 1) != 0, now, i < workers)) ++blocked;
  }
  // The watcher alone writes these, so a load and a store add.
  const auto add = [](std::atomic<std::uint64_t>& sum, std::uint64_t value) {
    sum.store(sum.load(std::memory_order_relaxed) + value, std::memory_order_relaxed);
  };
  add(looks_, 1);
  add(seen_in_call_, in_call);
  add(seen_waiting_, blocked);
  add(seen_spares_, spares);
  add(seen_stuck_, stuck);
  {
    std::lock_guard lock(mutex_);
    add(seen_queued_, queue_.size());
    if (!queue_.empty()) add(seen_held_back_, lingering_);
  }
  if (spares > most_spares_.load(std::memory_order_relaxed))
    most_spares_.store(spares, std::memory_order_relaxed);
  return blocked;
}

void WorkerPool::lend_spares(std::size_t blocked) {
  const std::size_t workers = threads_.size();
  std::vector<std::size_t> starting;
  {
    std::lock_guard lock(mutex_);
    blocked_.store(blocked, std::memory_order_relaxed);
    if (!spares_allowed_) return;
    // Spares that stay for work take it before any new one starts; as many
    // are woken as may take a job.
    if (lingering_ > 0 && may_take_job()) {
      const std::size_t wake =
          std::min({lingering_, queue_.size(), blocked - std::min(blocked, busy_spares_)});
      for (std::size_t i = 0; i < wake; ++i) spare_work_.notify_one();
    }
    // As many threads as there are workers keep running; the waiting ones
    // are made up for, as far as queued jobs and the cap allow.
    const std::size_t taking = workers + spares_;
    const std::size_t wanted = std::min(workers + blocked, call_cap_);
    if (wanted <= taking) return;
    std::size_t count = std::min(wanted - taking, queue_.size());
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
      Job job = std::move(queue_.back());
      queue_.pop_back();
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
    // be started again a moment later.
    if (monotonic_now() - idle_since >= linger) break;
    ++lingering_;
    spare_work_.wait_until(lock, idle_since + linger,
                           [this] { return !spares_allowed_ || may_take_job(); });
    --lingering_;
  }
  slots_[slot].state.store(SpareState::kFinished, std::memory_order_release);
  if (--spares_ == 0) spares_gone_.notify_all();
}

WatchStats WorkerPool::watch_stats() const {
  return WatchStats{
      looks_.load(std::memory_order_relaxed), seen_in_call_.load(std::memory_order_relaxed),
      seen_waiting_.load(std::memory_order_relaxed), seen_spares_.load(std::memory_order_relaxed),
      most_spares_.load(std::memory_order_relaxed),  seen_queued_.load(std::memory_order_relaxed),
      seen_stuck_.load(std::memory_order_relaxed),   seen_held_back_.load(std::memory_order_relaxed)};
}

bool WorkerPool::may_take_job() const {
  return !queue_.empty() && busy_spares_ < blocked_.load(std::memory_order_relaxed);
}

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

void JobScope::add_job(JobBody job, bool deferred) {
  {
    std::lock_guard lock(mutex_);
    pending_.fetch_add(1, std::memory_order_relaxed);
  }
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
