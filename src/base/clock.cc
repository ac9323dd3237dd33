#include "base/clock.h"

namespace tessaly {
namespace {

class MonotonicClock final : public Clock {
 public:
  Instant now() const override { return monotonic_now(); }
};

}  // namespace

const Clock& monotonic_clock() {
  static const MonotonicClock clock;
  return clock;
}

std::uint64_t whole_millis(std::chrono::nanoseconds duration) {
  const std::int64_t nanos = duration.count();
  if (nanos <= 0) return 0;
  const auto whole_seconds = static_cast<std::uint64_t>(nanos / 1'000'000'000);
  const auto rest = static_cast<std::uint64_t>(nanos % 1'000'000'000);
  return whole_seconds * 1000 + rest / 1'000'000;
}

std::uint64_t whole_millis_between(Instant from, Instant to) {
  const auto elapsed = elapsed_between(from, to);
  return elapsed ? whole_millis(*elapsed) : 0;
}

}  // namespace tessaly
