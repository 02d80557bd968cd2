// The output side of the relay's loop: what the command writes on its
// standard output goes to the controller as packets, always through the hold,
// one packet per read (at most 65532 payload bytes).
//
// Before the end of the controller's input, in the default mode, output is
// held and nothing leaves. Once output may leave, it goes out as fast as
// standard output takes it, and the command's pipe is read only while nothing
// waits for the controller: a command that writes faster than the controller
// reads waits on its own full pipe, as in any pipeline. The one exception is
// a command whose input has been stuck behind its full input pipe for a
// moment: its output is then held as long as that lasts, as only that breaks
// the deadlock, and until the hold has emptied again.
//
// Once the command's end has been seen, what its pipe holds at that moment is
// forwarded and nothing more: the relay's own copy of the pipe's write end
// means that no end of file will ever come. Then standard output is let go of
// at once, even while the input side still drops the controller's input. It
// is let go of as well when a write to it fails, and (tied) as soon as it has
// lost its reader; the input then ends at once.
//
// In channel mode the command's standard error is a second pipe, read as the
// first is, its packets of their own kind; between the two, packets leave in
// the order they were read. The exit packet follows all that both held at the
// command's end. With flow control, output is read and sent only as the
// controller's credit allows (flow_window.hpp).
#pragma once

#include "relay/relay_state.hpp"

namespace brindock {

// One turn: sends and reads what can move now. Returns true when anything
// moved or changed.
bool relay_output(relay_state& state);

// Whether the loop should wait for the command's output, and for room on
// standard output.
bool command_output_wanted(const relay_state& state, const output_pipe& pipe);
bool controller_room_wanted(const relay_state& state);

// Milliseconds until output is to be held to let a stuck input move; -1 when
// no such time is running.
int patience_left(const relay_state& state);

}  // namespace brindock
