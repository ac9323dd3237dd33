// Directory descriptors as both walk engines hold them: owned and closed on
// every way out, kept open for subdirectories within a budget taken from the
// process's descriptor limit, waited for when the process has run out, and
// opened for paths of any length.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "base/clock.h"
#include "platform/kernel.h"

namespace tessaly::platform {

// A descriptor that is closed through its kernel on every way out of its
// scope, one left by an exception included, unless it was released. A
// negative descriptor stands for none.
class Descriptor {
 public:
  Descriptor() = default;
  Descriptor(Kernel& kernel, int fd) : kernel_(&kernel), fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : kernel_(other.kernel_), fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      kernel_ = other.kernel_;
      fd_ = other.release();
    }
    return *this;
  }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Hands the descriptor over to the caller.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes it now.
  void reset() {
    if (fd_ >= 0) kernel_->close_descriptor(release());
  }

 private:
  Kernel* kernel_ = nullptr;
  int fd_ = -1;
};

// Whether `error` says the process or the system has no descriptor to give.
inline bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

inline constexpr std::string_view kIoErrorPrefix = "IO error for operation on ";

// kIoErrorPrefix, then "{path}: {description} (os error {error})": how a
// failed call on a path reads in a log line or in the error of a scan whose
// root could not be opened for want of descriptors.
std::string describe_io_error(std::string_view path, int error);

// How long an open that finds no free descriptor keeps being tried before the
// directory is given up like any other unreadable one.
inline constexpr std::chrono::seconds kDescriptorPatience{10};

// The pause before trying again after the `attempt`th refusal: a millisecond
// more each time, at most 20.
inline std::chrono::milliseconds descriptor_backoff(int attempt) {
  return std::chrono::milliseconds(attempt < 20 ? attempt : 20);
}

// Always keeps waiting.
struct KeepWaiting {
  bool operator()() const { return true; }
};

// `call()` (an operation returning std::expected<T, int>) repeated while it
// fails for want of descriptors, pausing a little longer each time, for at
// most `patience`. After each such failure `on_shortage()` runs; when it
// answers false (a cancelled scan, say) the wait ends. Returns the last
// outcome. The caller must hold no descriptor it could let go meanwhile, or
// waiting may deadlock.
template <typename Call, typename OnShortage = KeepWaiting>
auto retry_while_out_of_descriptors(Call call,
                                    std::chrono::milliseconds patience = kDescriptorPatience,
                                    OnShortage on_shortage = {}) {
  const Instant start = monotonic_now();
  for (int attempt = 1;; ++attempt) {
    auto outcome = call();
    if (outcome || !out_of_descriptors(outcome.error())) return outcome;
    if (!on_shortage() || monotonic_now() - start >= patience) return outcome;
    std::this_thread::sleep_for(descriptor_backoff(attempt));
  }
}

// How many directory descriptors a walk on `threads` workers may keep open
// for their subdirectories: half of what the process has left, less a
// reserve for the descriptors that running jobs and the rest of the process
// open for a moment, and at most `cap`.
std::int64_t descriptor_budget(std::size_t threads, std::int64_t cap);

// The descriptors of listed directories a walk keeps open for their
// subdirectories to be opened relative to them, so that a directory costs one
// lookup of one name however deep it lies; at most as many as the budget.
class KeptDirectories {
 public:
  void set_budget(std::int64_t budget) { budget_.store(budget, std::memory_order_relaxed); }
  // Keeps no more from now on: the process ran short of descriptors.
  void stop_keeping() { budget_.store(0, std::memory_order_relaxed); }

  // Takes `fd` over when the budget allows one more, shared by the holders of
  // the result and closed when the last of them lets go; otherwise leaves
  // `fd` as it was and returns null. When memory runs out, `fd` is left as it
  // was, the budget as it was, and std::bad_alloc reaches the caller. The set
  // must outlive every holder.
  std::shared_ptr<const Descriptor> keep(Descriptor& fd);

 private:
  std::atomic<std::int64_t> kept_{0};
  std::atomic<std::int64_t> budget_{0};
};

// Opens the directory at `path`, relative to `base_fd` (AT_FDCWD: the working
// directory) when the path is relative, in pieces shorter than PATH_MAX when
// it is longer: the pieces on the way need only search permission, as in a
// path lookup, and at most two descriptors are open at any moment. `last` says
// how the final piece is opened. Each call is repeated while a signal
// interrupts it. Fails with ENOENT for an empty path and EINVAL for one
// holding a NUL byte, which names no file.
std::expected<int, int> open_directory_of_any_length(Kernel& kernel, int base_fd,
                                                     std::string_view path, OpenAs last);

}  // namespace tessaly::platform
