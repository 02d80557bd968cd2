// Writing to the controller only as much as its standard output takes at
// once, so that the relay can go on taking in input while the controller is
// slow to read. The descriptor's flags are shared with the controller and stay
// as they are: a pipe is written through a description of the relay's own,
// opened non-blocking; a socket is sent to with MSG_DONTWAIT; a file, a
// terminal or a device is written plainly, as none of them keeps a writer
// waiting for long. Where the pipe cannot be opened anew, or the socket call is
// refused, one page goes at a time once poll says there is room: a pipe with
// room for one page never makes that write wait.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace brindock {

// Writes up to `length` bytes to standard output without waiting. Returns the
// count written, or -1 with errno set: EAGAIN (or EINTR) when nothing fits
// now, anything else for a real failure.
ssize_t write_what_fits(const unsigned char* data, std::size_t length);

}  // namespace brindock
