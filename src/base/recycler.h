// The way back beside a channel: objects the receiving thread is done with,
// kept for the sending threads to fill again. A sender that allocates what
// another thread frees makes every allocation and every free take the
// allocator's slow, shared path; handing the objects back keeps both sides
// off it once a walk is under way.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tessaly {

// Keeps at most `limit` objects of type T, from any thread.
template <typename T>
class Recycler {
 public:
  explicit Recycler(std::size_t limit) : limit_(limit) {}

  // A kept object, or none when none is kept.
  std::optional<T> take() {
    std::lock_guard lock(mutex_);
    if (kept_.empty()) return std::nullopt;
    std::optional<T> object(std::move(kept_.back()));
    kept_.pop_back();
    return object;
  }

  // Keeps what `objects` yields (in order, each passed through `prepare`,
  // which makes it ready to be filled again) while fewer than the limit are
  // kept; the rest stay where they are. Takes the lock once.
  template <typename Range, typename Prepare>
  void give_back(Range& objects, Prepare prepare) {
    std::lock_guard lock(mutex_);
    if (kept_.capacity() < limit_) kept_.reserve(limit_);
    for (auto& object : objects) {
      if (kept_.size() >= limit_) return;
      prepare(object);
      kept_.push_back(std::move(object));
    }
  }

 private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::vector<T> kept_;
};

}  // namespace tessaly
