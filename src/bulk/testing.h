// Hooks for tests of the bulk reader running out of memory. Production code
// never includes this header.
#pragma once

#include <cstddef>

namespace tessaly::bulk_testing {

// Of the next allocations of a thread's read buffer, lets `pass` through and
// then refuses `refuse` (the read that needed the buffer throws
// std::bad_alloc, as it would if memory ran out). Only threads that have no
// buffer yet allocate one. Resets the count of read_buffer_allocation_attempts.
void fail_read_buffer_allocations(std::size_t pass, std::size_t refuse);
// Buffer allocations tried since the last fail_read_buffer_allocations call.
std::size_t read_buffer_allocation_attempts();

}  // namespace tessaly::bulk_testing
