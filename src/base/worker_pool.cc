#include "base/worker_pool.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace tessaly {
namespace {

// The pool whose worker the current thread is, if any.
thread_local const WorkerPool* current_pool = nullptr;

}  // namespace

WorkerPool::WorkerPool(std::size_t thread_count) {
  if (thread_count == 0) thread_count = 1;
  try {
    threads_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) {
      try {
        threads_.emplace_back([this] { worker_main(); });
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
  {
    std::lock_guard lock(mutex_);
    if (deferred) {
      queue_.push_front(std::move(job));
    } else {
      queue_.push_back(std::move(job));
    }
    wake = sleeping_ > 0;
  }
  if (wake) work_available_.notify_one();
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

void WorkerPool::worker_main() {
  current_pool = this;
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
