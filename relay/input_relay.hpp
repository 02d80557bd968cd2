// The input phase: packets from the controller become one plain byte stream on
// the child's standard input, while the child's output is held meanwhile.
#pragma once

#include "relay/input_source.hpp"
#include "relay/output_hold.hpp"

namespace brindock {

// Takes packets in from descriptor 0 through `source`, many at a time where it
// can, and writes their bodies, in order and without framing, to
// `child_input` in pieces of at most 1024 bytes; the bodies of several packets
// may share a piece. Whatever the child writes meanwhile on `child_output`
// goes into `hold` while it has room; `forwarding`, the hold also goes out on
// standard output as fast as that takes it.
//
// Feeding the command ends at the end-of-input packet, when the controller's
// input ends or fails, once the command's end has been seen (tied: also once
// the controller has gone), or when the hold is full and the command leaves
// its input unread (said in one line on standard error); `child_input` is then
// closed. After the command's end or a full hold, the rest of the input is
// still taken in and dropped, up to its end-of-input packet, while the hold
// goes out, so that a controller still writing sees no failed write; this
// stops early once the input has been quiet for a short time. Then descriptor
// 0 is closed. Nothing after the end-of-input packet is read, and nothing at
// all once the phase has ended.
void relay_input(input_source& source, int child_input, int child_output, unsigned char* buffer,
                 output_hold& hold, bool forwarding);

}  // namespace brindock
