#include "bin/common/stop_signals.h"

#include <signal.h>

#include <atomic>

namespace tessaly {
namespace {

// The handler below stores into the token from signal context.
static_assert(std::atomic<bool>::is_always_lock_free);

// Async-signal-safe: a store into a lock-free atomic.
extern "C" void on_stop_signal(int) { stop_token().request_cancel(); }

void set_stop_handlers(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);  // a macro on some systems
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

const CancelToken& stop_token() {
  static const CancelToken token;
  return token;
}

bool stop_requested() { return stop_token().cancel_requested(); }

void install_stop_handlers() {
  // Creates the token here, so the handler never runs its first-use set-up.
  static_cast<void>(stop_token());
  set_stop_handlers(on_stop_signal);
}

void restore_default_stop_handlers() { set_stop_handlers(SIG_DFL); }

}  // namespace tessaly
