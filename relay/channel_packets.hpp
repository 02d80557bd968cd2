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

// Writes `line` (one line, its line feed included) on standard error, and in
// channel mode sends it as a message packet as well, while it may still go.
void tell_controller(relay_state& state, const char* line, std::size_t length);

// Adds the exit packet to the hold, once the command's end has been seen.
void add_exit_packet(relay_state& state);

}  // namespace brindock
