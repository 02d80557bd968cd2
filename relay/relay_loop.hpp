// The relay's one loop: each turn the input side and then the output side move
// what can move now; when nothing moved, the loop waits, once, for whatever
// either side found it has to wait for, and for the command's end. The mode
// decides only what each side may do (relay_state.hpp), never how it waits.
#pragma once

#include "relay/relay_state.hpp"

namespace brindock {

// Runs until the controller's input is over and standard output has been let
// go of: the command's output forwarded up to its end, standard output failed,
// or (tied) the controller gone.
void run_relay(relay_state& state);

}  // namespace brindock
