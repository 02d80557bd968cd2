// Descriptor chores shared by the relay's loop and the watchdog: making sure the
// standard descriptors exist, writing a whole span whatever the descriptor's
// blocking mode, and closing what was inherited whatever the kernel allows.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace brindock {

// Opens /dev/null in place of any of descriptors 0, 1 and 2 that is closed, so
// that no pipe end the relay makes can land on a standard descriptor.
void open_missing_standard_descriptors();

// Writes all `length` bytes, completing short writes and, on a non-blocking
// descriptor, waiting for room instead of failing. Returns false on a real
// failure; the bytes before it may have been written.
bool write_fully(int fd, const unsigned char* data, std::size_t length);

// Milliseconds on the monotonic clock.
std::int64_t monotonic_ms();

// The one place where the relay waits: until at least one of `watched` is
// ready or reports an error or hang-up. Signals do not end the wait; one that
// needs an answer makes a watched descriptor ready. Returns false when poll
// itself fails, so that the caller's next call finds out what is wrong.
bool wait_for_any(pollfd* watched, nfds_t count);

// poll, but first, for up to `spin_us` microseconds, without sleeping: a
// process woken from sleep on another processor answers tens of microseconds
// later than one that is still running when its descriptor becomes ready.
// `found_spinning` is set when the look found something, left as it is
// otherwise.
int poll_spinning_first(pollfd* watched, nfds_t count, int timeout_ms, int spin_us,
                        bool* found_spinning);

// True when the last failed call only had to wait: the descriptor is
// non-blocking and not ready, or a signal interrupted it.
bool only_had_to_wait();

// The one rule for the optional calls, those that look ahead at input or move
// pages instead of copying them (tee, recv with MSG_PEEK, pread, vmsplice,
// sendfile): true when the last one failed for any reason other than having to
// wait or the other end being gone. The caller then takes the plain path (exact
// reads, plain writes) for the rest of the run; nothing has been consumed.
bool must_take_plain_path();

// Calls `visit(number, context)` for each entry of the directory open on `dir`
// whose name is a decimal number (the processes in /proc, the descriptors in
// /proc/self/fd), until it returns false. Raw system calls only, so it is
// async-signal-safe. Returns false when the directory could not be read to
// its end; a walk that `visit` stopped counts as read.
bool visit_numbered_entries(int dir, bool (*visit)(long number, void* context), void* context);

// Closes every descriptor from `lowest` up. Async-signal-safe. Where
// close_range fails, as on kernels before 5.9 and in sandboxes that predate
// it, the entries of /proc/self/fd are closed, or without /proc every number
// below the descriptor limit.
void close_descriptors_from(int lowest);

// After a write to `fd` that only had to wait: waits for room, unless a signal
// interrupted it, in which case the write is simply tried again.
void wait_for_room(int fd);

}  // namespace brindock
