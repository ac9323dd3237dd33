// Counting the threads of this process, for tests that check a scan leaves
// none behind.
#pragma once

#include <cstddef>

namespace tessaly::testing {

// The threads of this process, from /proc/self/task; 0 where the system does
// not list them.
std::size_t count_threads();

// count_threads() as soon as it equals `expected`, else its value after 10 s:
// a joined thread leaves the kernel's list a moment after the join returns,
// later still on a busy machine.
std::size_t thread_count_settled_at(std::size_t expected);

}  // namespace tessaly::testing
