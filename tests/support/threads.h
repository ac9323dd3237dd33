// Counting the threads of this process, for tests that check a scan leaves
// none behind.
#pragma once

#include <cstddef>

namespace tessaly::testing {

// The threads of this process, from /proc/self/task, leaving out those that
// are exiting (a joined thread stays in the kernel's list a moment after the
// join returns, longer on a busy machine, and a count taken then as a
// baseline would never be met again); 0 where the system does not list them.
std::size_t count_threads();

// count_threads() as soon as it equals `expected`, else its value after 10 s.
std::size_t thread_count_settled_at(std::size_t expected);

}  // namespace tessaly::testing
