// A mutual-exclusion lock that remembers when a holder left abnormally.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace tessaly {

// A mutex with a poisoned mark. The mark is set when an exception escapes the
// scope of a Guard, that is while the lock is held, and is never cleared: the
// data the lock protects may have been left half changed, so its users turn
// their operations into refusals or no-ops from then on.
class PoisonableMutex {
 public:
  // Ownership of the lock. Releases it on destruction, first marking the
  // mutex poisoned when the destruction happens during unwinding that began
  // while the guard existed.
  class [[nodiscard]] Guard {
   public:
    Guard(Guard&& other) noexcept
        : mutex_(std::exchange(other.mutex_, nullptr)), exceptions_(other.exceptions_) {}
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    ~Guard() {
      if (mutex_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_) {
        mutex_->poisoned_.store(true, std::memory_order_relaxed);
      }
      mutex_->held_.store(false, std::memory_order_relaxed);
      mutex_->mutex_.unlock();
    }

    // Whether the mutex was already poisoned when this guard took it, or has
    // been poisoned since.
    bool poisoned() const { return mutex_->is_poisoned(); }

   private:
    friend class PoisonableMutex;
    explicit Guard(PoisonableMutex& mutex)
        : mutex_(&mutex), exceptions_(std::uncaught_exceptions()) {
      mutex_->held_.store(true, std::memory_order_relaxed);
    }

    PoisonableMutex* mutex_;
    int exceptions_;
  };

  PoisonableMutex() = default;
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  // Waits for the lock.
  Guard lock() {
    mutex_.lock();
    return Guard(*this);
  }

  // The lock if it is free right now, else nothing.
  std::optional<Guard> try_lock() {
    if (!mutex_.try_lock()) return std::nullopt;
    return Guard(*this);
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

  // Whether some thread holds the lock at this moment. A diagnostic: by the
  // time the caller looks at the answer it may be stale, except for the
  // thread that holds the lock.
  bool is_held() const { return held_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  std::atomic<bool> held_{false};
};

}  // namespace tessaly
