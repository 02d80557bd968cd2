// The input side of the relay's loop: packets from the controller become one
// plain byte stream on the command's standard input, in writes of at most
// 1024 bytes (the bodies of several packets may share one).
//
// Feeding the command ends at the end-of-input packet, when the controller's
// input ends or fails, when the controller has gone (tied), once the
// command's end has been seen, or when the hold is full while the command
// leaves its input unread and its output waits (said in one line on standard
// error); the command's input is closed then. After the command's end or a
// full hold, the rest of the controller's input is still taken in and
// dropped, so that a controller still writing sees no failed write: up to and
// including its end-of-input packet, to the end of its input, or until it has
// been quiet for a while. Then standard input is closed. Nothing after the
// end-of-input packet is ever taken in.
//
// In channel mode the end of input is a packet among others: the command's
// input closes there, and the controller's input is taken in on, for its
// signals and windows, and dropped otherwise, until it ends or (once
// standard output has been let go of) has been quiet for a while.
#pragma once

#include "relay/relay_state.hpp"

namespace brindock {

// One turn: takes in, writes to the command or drops what can move now, and
// moves from stage to stage. Returns true when anything moved or changed.
bool relay_input(relay_state& state);

// Whether the loop should wait for standard input to be ready, and for the
// command's input pipe to have room.
bool input_wanted(const relay_state& state);
bool command_room_wanted(const relay_state& state);

// Ends the input at once: the command's input and standard input are closed.
void end_input(relay_state& state);

}  // namespace brindock
