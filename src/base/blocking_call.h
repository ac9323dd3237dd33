// How a pool thread shows that it is inside a call that may wait for a
// device, so that the pool can lend its queued work to a spare thread while
// the call waits (see WorkerPool). Marking costs two stores to memory only the
// marking thread writes: a call that returns at once costs nothing more.
#pragma once

#include <atomic>
#include <cstdint>

namespace tessaly {

// A thread's place in the pool's view of blocking calls: its serial of calls
// entered and left, and whether it is inside one now.
struct CallMarker {
  // (serial << 1) | inside a call. Every entry and exit gives a new serial,
  // so two readings that are equal and odd saw one call still running.
  // Written only by the marker's own thread; read by the pool's watcher.
  std::atomic<std::uint64_t> word{0};
};

// The calling thread's marker; null on a thread that is no pool's.
extern constinit thread_local CallMarker* current_call_marker;

// Marks the calling pool thread as inside a blocking call for the scope's
// life; does nothing on any other thread. Scopes may nest: the innermost one
// is the call the pool sees, and leaving it marks the outer one again as a
// new call.
class BlockingCallScope {
 public:
  BlockingCallScope() noexcept : marker_(current_call_marker) {
    if (marker_ == nullptr) return;
    const std::uint64_t word = marker_->word.load(std::memory_order_relaxed);
    outer_ = word & 1;
    marker_->word.store(next(word) | 1, std::memory_order_relaxed);
  }
  ~BlockingCallScope() {
    if (marker_ == nullptr) return;
    const std::uint64_t word = marker_->word.load(std::memory_order_relaxed);
    marker_->word.store(next(word) | outer_, std::memory_order_relaxed);
  }
  BlockingCallScope(const BlockingCallScope&) = delete;
  BlockingCallScope& operator=(const BlockingCallScope&) = delete;

 private:
  static std::uint64_t next(std::uint64_t word) { return ((word >> 1) + 1) << 1; }

  CallMarker* marker_;
  std::uint64_t outer_ = 0;
};

}  // namespace tessaly
