// How a tool is stopped: SIGINT (Ctrl-C) or SIGTERM trigger the process's
// stop token, which the tool hands to its scan and which OutputFile watches
// while it waits for a FIFO's reader or for room to write, so that no tool
// hangs on its output and nothing is left half written.
#pragma once

#include <tessaly/progress.h>

namespace tessaly {

// The exit status of a tool that was stopped.
inline constexpr int kStoppedStatus = 130;

// The process's stop token; nobody triggers it until install_stop_handlers.
const CancelToken& stop_token();

// Whether a stop was requested.
bool stop_requested();

// From now on SIGINT and SIGTERM trigger stop_token (system calls they
// interrupt are restarted; OutputFile's waits look at the token).
void install_stop_handlers();

// SIGINT and SIGTERM end the process again, for what can be cut anywhere.
void restore_default_stop_handlers();

}  // namespace tessaly
