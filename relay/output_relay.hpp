// The output phase: what the child writes on its standard output goes to the
// controller as packets, the held output first.
#pragma once

#include "relay/output_hold.hpp"

namespace brindock {

// Sends everything in `hold`, then one packet per read of `child_output`
// (at most 65532 payload bytes, header and payload in one write from
// `buffer`), until a read or a write to standard output fails.
//
// Once the command's end has been seen it forwards what the output pipe holds
// at that moment and returns, without waiting for more: the relay's own copy
// of the pipe's write end means that no end of file will ever come. Tied, it
// returns as soon as standard output has lost its reader.
void relay_output(int child_output, unsigned char* buffer, output_hold& hold);

}  // namespace brindock
