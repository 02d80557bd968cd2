// The command's time limit, asked for with BRINDOCK_TIMEOUT_MS=N: N ms after
// the relay's start, on the monotonic clock, the command's whole group is
// ended as at the relay's end. The limit implies tied mode, which has the
// group. This file keeps the deadline; the loop waits no longer than it and
// calls act_on_time_limit once a turn.
#pragma once

#include "relay/relay_state.hpp"

namespace brindock {

// Reads BRINDOCK_TIMEOUT_MS, which is removed from the environment. A value
// not understood is said in one line on standard error, with its range and
// unit, and ignored. True when a limit is set.
bool take_time_limit();

// Milliseconds until the limit, 0 once it is due, -1 where there is none or
// it has been acted on.
int time_limit_left();

// Once the limit is due: has the command's group ended, and tells the
// controller why (in channel mode as a message, before the exit packet).
void act_on_time_limit(relay_state& state);

}  // namespace brindock
