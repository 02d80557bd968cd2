// Taking in the controller's input: as many packets as wait on descriptor 0 in
// one go, yet never a byte past the end-of-input packet. The relay first looks
// at what waits without consuming it, lets the packet reader say how much may
// go, then consumes exactly that. How it looks depends on what descriptor 0
// is, decided at start: a pipe is copied into a private pipe with tee, a
// stream socket is peeked, a regular file is read at its offset and then
// sought past what was used. Anything else (a terminal, a character device) is
// read exactly, a header and then a body, as no look-ahead is possible there.
// The same exact reads take over for good when a way of looking is refused.
//
// Messages (a datagram or sequenced-packet socket, a pipe in packet mode) are
// read whole, one per read, as a part of one would be lost: what follows the
// end-of-input packet inside the same message is dropped with it. A pipe in
// packet mode is known only by how it reads, the first time two or more
// messages wait in it; until then each look holds one whole message.
//
// This assumes the relay is the only reader of descriptor 0 while it runs.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "framing/packet_reader.hpp"

namespace brindock {

enum class input_kind { exact, pipe, socket, file, messages };

struct input_source {
    input_kind kind = input_kind::exact;
    int private_read = -1;  // the pipe that tee copies into; open only for a pipe
    int private_write = -1;
    off_t offset = 0;  // of a file: where the next unconsumed byte lies
    // Exact reads: preadv2(RWF_NOWAIT) works here, so no poll is needed first.
    bool try_without_wait = true;
    // A message larger than the caller's buffer, taken in whole and handed
    // out a buffer at a time; null when none is under way.
    unsigned char* message = nullptr;
    std::size_t message_size = 0;
    std::size_t message_given = 0;
    std::size_t message_mapped = 0;
    bool sized_messages = false;  // a socket's FIONREAD tells its next message's size
};

// Looks at descriptor 0 and makes what taking it in needs. Never fails: a pipe
// whose private pipe cannot be made is read exactly.
input_source open_input_source();

// Closes the private pipe so that its descriptors can go to the command's
// pipes; the input is then read exactly. False when there was none to close.
bool release_private_pipe(input_source& source);

// Takes in at most `size` bytes from descriptor 0 into `buffer`, never past
// the end-of-input packet as `reader` (which has seen everything taken in so
// far) places it. `after_wait` says that descriptor 0 was just seen ready.
// Returns the count taken in, 0 at the end of the controller's input, or -1
// with errno set: EAGAIN or EINTR when the caller should wait for input and
// call again, anything else for a real failure.
ssize_t take_in(input_source& source, const packet_reader& reader, unsigned char* buffer,
                std::size_t size, bool after_wait);

}  // namespace brindock
