// Descriptor chores shared by the phases: making sure the standard descriptors
// exist, and writing a whole span whatever the descriptor's blocking mode.
#pragma once

#include <cstddef>

namespace brindock {

// Opens /dev/null in place of any of descriptors 0, 1 and 2 that is closed, so
// that no pipe end the relay makes can land on a standard descriptor.
void open_missing_standard_descriptors();

// Writes all `length` bytes, completing short writes and, on a non-blocking
// descriptor, waiting for room instead of failing. Returns false on a real
// failure; the bytes before it may have been written.
bool write_fully(int fd, const unsigned char* data, std::size_t length);

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT) or reports an
// error or hang-up; a signal ends the wait early.
void wait_until_ready(int fd, short events);

// True when the last failed call only had to wait: the descriptor is
// non-blocking and not ready, or a signal interrupted it.
bool only_had_to_wait();

}  // namespace brindock
