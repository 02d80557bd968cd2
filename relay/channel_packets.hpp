// Channel mode, asked for with BRINDOCK_CHANNELS=1: both ways every body
// opens with a kind byte. This file acts on the controller's packets other
// than input (signals, windows, refusals) and makes the relay's own packets:
// its messages and the exit packet, which is always the last.
#pragma once

#include <cstddef>

#include "framing/channel_kinds.hpp"
#include "relay/relay_state.hpp"

namespace brindock {

// The packet reader's handler in channel mode; `context` is the relay_state.
void take_control_packet(const control_packet& packet, void* context);

// Writes `line` (one line, its line feed included) on standard error, as far
// as it takes it now, and in channel mode sends it as a message packet as
// well, while it may still go: there the packet is the message.
void tell_controller(relay_state& state, const char* line, std::size_t length);

// Adds the exit packet to the hold, once the command's end has been seen,
// after the count of messages that found no room, if any. `exit_sent` says
// whether it is in; the hold keeps room for both from the start.
void add_exit_packet(relay_state& state);

}  // namespace brindock
