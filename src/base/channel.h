// The one hand-off from worker threads to the thread that owns their output:
// a bounded multi-producer, single-consumer channel with a receive timeout.
//
// Close rules:
// - a send blocks while the channel holds `capacity` messages;
// - once the receiver is gone, every send (blocked or new) fails at once and
//   its message is dropped;
// - once every sender is gone and the buffered messages have been received,
//   receiving reports that the channel is disconnected.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace tessaly {

enum class RecvError {
  kTimeout,       // nothing arrived in time; senders remain
  kDisconnected,  // every sender is gone and nothing is left to receive
};

namespace channel_detail {

// A waiting receiver is woken once this many messages are buffered (or the
// buffer is full), and looks for fewer by itself after kReceiverPoll: waking
// it for every message would cost a context switch per message when it keeps
// up with the senders. A walk's workers send some 100 listings a millisecond
// when warm; on cores they keep busy, each wake-up takes one of them off its
// core, so the receiver is best woken about a hundred times a second, and a
// slow walk's receiver looks often enough for its progress reports (every
// 100 ms) and cancellation checks.
inline constexpr std::size_t kWakeMessages = 256;
inline constexpr std::chrono::milliseconds kReceiverPoll{10};

template <typename T>
struct State {
  explicit State(std::size_t bound)
      : capacity(bound == 0 ? 1 : bound),
        wake_at(capacity < kWakeMessages ? capacity : kWakeMessages) {}

  std::mutex mutex;
  std::condition_variable not_full;
  std::condition_variable not_empty;
  // Messages from `head` on are buffered; a taken one is left moved-from
  // until the rest are taken. A vector, swapped whole with the receiver's,
  // keeps its room from one batch to the next, so that sending allocates
  // nothing once a walk is under way.
  std::vector<T> buffer;
  std::size_t head = 0;
  const std::size_t capacity;
  const std::size_t wake_at;
  std::size_t senders = 1;
  bool receiver_alive = true;
  // Threads blocked in a send, and whether the receiver is blocked: a wake-up
  // is sent only to someone who waits.
  std::size_t blocked_senders = 0;
  bool receiver_waiting = false;

  std::size_t buffered() const { return buffer.size() - head; }
  bool empty() const { return buffer.size() == head; }
};

}  // namespace channel_detail

template <typename T>
class Sender;
template <typename T>
class Receiver;
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity);

template <typename T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { reset(); }

  // Blocks while the channel is full. False when the receiver is gone (also
  // when it goes while this send waits): the message is then dropped.
  bool send(T value) {
    if (!state_) return false;
    std::unique_lock lock(state_->mutex);
    if (state_->receiver_alive && state_->buffered() >= state_->capacity) {
      ++state_->blocked_senders;
      state_->not_full.wait(lock, [this] {
        return !state_->receiver_alive || state_->buffered() < state_->capacity;
      });
      --state_->blocked_senders;
    }
    if (!state_->receiver_alive) return false;
    state_->buffer.push_back(std::move(value));
    const bool wake = state_->receiver_waiting && state_->buffered() >= state_->wake_at;
    lock.unlock();
    if (wake) state_->not_empty.notify_one();
    return true;
  }

  // Gives up this handle early; sending through it fails afterwards.
  void reset() {
    if (!state_) return;
    bool last = false;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->not_empty.notify_all();
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_bounded_channel<T>(std::size_t capacity);
  explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  ~Receiver() { reset(); }

  // The next message, waiting at most `timeout` for one. Buffered messages
  // are still delivered after the last sender is gone.
  template <typename Rep, typename Period>
  std::expected<T, RecvError> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return std::unexpected(RecvError::kDisconnected);
    if (timeout >= kAsGoodAsForever) return recv();
    const Instant deadline = monotonic_now() + std::chrono::ceil<Instant::duration>(timeout);
    std::unique_lock lock(state_->mutex);
    if (!wait_for_any_until(lock, deadline)) return std::unexpected(RecvError::kTimeout);
    return take(lock);
  }

  // The next message, waiting as long as a sender remains.
  std::expected<T, RecvError> recv() {
    if (!state_) return std::unexpected(RecvError::kDisconnected);
    std::unique_lock lock(state_->mutex);
    wait_for_any(lock);
    return take(lock);
  }

  // Every buffered message at once, waiting as long as a sender remains and
  // nothing is buffered: `into`, which must be empty, trades places with the
  // buffer, so that neither side allocates once both have grown to the
  // batches' size. False once every sender is gone and nothing is left.
  bool recv_all(std::vector<T>& into) {
    if (!state_) return false;
    std::unique_lock lock(state_->mutex);
    wait_for_any(lock);
    return take_all(lock, into);
  }

  // recv_all, waiting at most `timeout` for a message: kTimeout when none
  // came in time while senders remain, kDisconnected once every sender is
  // gone and nothing is left.
  template <typename Rep, typename Period>
  std::expected<void, RecvError> recv_all_timeout(std::vector<T>& into,
                                                  std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return std::unexpected(RecvError::kDisconnected);
    if (timeout >= kAsGoodAsForever) {
      if (!recv_all(into)) return std::unexpected(RecvError::kDisconnected);
      return {};
    }
    const Instant deadline = monotonic_now() + std::chrono::ceil<Instant::duration>(timeout);
    std::unique_lock lock(state_->mutex);
    if (!wait_for_any_until(lock, deadline)) return std::unexpected(RecvError::kTimeout);
    if (!take_all(lock, into)) return std::unexpected(RecvError::kDisconnected);
    return {};
  }

  // Waits until the buffer is full or every sender is gone, for at most
  // `timeout`; false when the time ran out first. For a receiver that lags
  // its senders as far as the bound lets them run ahead.
  template <typename Rep, typename Period>
  bool wait_full(std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return true;
    const Instant deadline = monotonic_now() + std::chrono::ceil<Instant::duration>(timeout);
    std::unique_lock lock(state_->mutex);
    while (state_->buffered() < state_->capacity && state_->senders != 0) {
      const Instant now = monotonic_now();
      if (now >= deadline) return false;
      wait_until(lock, std::min(deadline, now + channel_detail::kReceiverPoll));
    }
    return true;
  }

  // The next message if one is buffered now.
  std::expected<T, RecvError> try_recv() {
    if (!state_) return std::unexpected(RecvError::kDisconnected);
    std::unique_lock lock(state_->mutex);
    if (state_->empty()) {
      return std::unexpected(state_->senders == 0 ? RecvError::kDisconnected : RecvError::kTimeout);
    }
    return take(lock);
  }

  // Gives up the receiving end: buffered messages are dropped, and blocked
  // and later sends fail at once. Allocates nothing, so a receiver can go
  // while memory is exhausted.
  void reset() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
    }
    state_->not_full.notify_all();
    // No sender touches the buffer once it has seen the receiver gone, so the
    // dropped messages are destroyed outside the lock.
    state_->buffer.clear();
    state_->head = 0;
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_bounded_channel<T>(std::size_t capacity);
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  void wait_until(std::unique_lock<std::mutex>& lock, Instant until) {
    state_->receiver_waiting = true;
    state_->not_empty.wait_until(lock, until);
    state_->receiver_waiting = false;
  }

  void wait_for_any(std::unique_lock<std::mutex>& lock) {
    while (state_->empty() && state_->senders != 0) {
      wait_until(lock, monotonic_now() + channel_detail::kReceiverPoll);
    }
  }

  // Longer waits than this are as good as waiting without a limit, and would
  // overflow the deadline.
  static constexpr std::chrono::hours kAsGoodAsForever{24 * 365};

  // Waits until a message is buffered or every sender is gone, at most until
  // `deadline`; false when the time ran out first.
  bool wait_for_any_until(std::unique_lock<std::mutex>& lock, Instant deadline) {
    while (state_->empty() && state_->senders != 0) {
      const Instant now = monotonic_now();
      if (now >= deadline) return false;
      wait_until(lock, std::min(deadline, now + channel_detail::kReceiverPoll));
    }
    return true;
  }

  bool take_all(std::unique_lock<std::mutex>& lock, std::vector<T>& into) {
    if (state_->empty()) return false;
    if (state_->head == 0) {
      into.swap(state_->buffer);
    } else {
      // Single messages were taken first: the rest are moved.
      into.assign(std::make_move_iterator(state_->buffer.begin() + state_->head),
                  std::make_move_iterator(state_->buffer.end()));
      state_->buffer.clear();
      state_->head = 0;
    }
    const bool wake = state_->blocked_senders > 0;
    lock.unlock();
    if (wake) state_->not_full.notify_all();
    return true;
  }

  std::expected<T, RecvError> take(std::unique_lock<std::mutex>& lock) {
    if (state_->empty()) return std::unexpected(RecvError::kDisconnected);
    T value = std::move(state_->buffer[state_->head++]);
    if (state_->empty()) {
      state_->buffer.clear();
      state_->head = 0;
    } else if (state_->head >= state_->buffered()) {
      // Taken ones are let go once they outnumber the rest, so that a
      // receiver that never catches up holds no more than twice the bound,
      // at one move per message taken.
      state_->buffer.erase(state_->buffer.begin(),
                           state_->buffer.begin() + static_cast<std::ptrdiff_t>(state_->head));
      state_->head = 0;
    }
    const bool wake = state_->blocked_senders > 0;
    lock.unlock();
    if (wake) state_->not_full.notify_one();
    return value;
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

// A channel holding at most `capacity` messages (a capacity of 0 holds one).
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity) {
  auto state = std::make_shared<channel_detail::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace tessaly
