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
  // kept; the rest stay where they are. Objects are prepared outside the
  // lock, which takers need for every object they fill: only as many as
  // there was room for when the call began.
  template <typename Range, typename Prepare>
  void give_back(Range& objects, Prepare prepare) {
    std::size_t room = 0;
    {
      std::lock_guard lock(mutex_);
      if (kept_.capacity() < limit_) kept_.reserve(limit_);
      room = limit_ - kept_.size();
    }
    auto end = objects.begin();
    for (; end != objects.end() && room > 0; ++end, --room) prepare(*end);
    std::lock_guard lock(mutex_);
    for (auto it = objects.begin(); it != end && kept_.size() < limit_; ++it) {
      kept_.push_back(std::move(*it));
    }
  }

 private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::vector<T> kept_;
};

}  // namespace tessaly
