// The run-time settings: environment variables that set a time or a bound,
// the build-time values being their defaults, and the check that every
// BRINDOCK_ variable given is one that brindock reads. Each setting is read
// once at start and removed from the environment, so that the command, a
// nested relay say, starts without it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

// Reads BRINDOCK_GRACE_MS, BRINDOCK_QUIET_MS and BRINDOCK_HOLD_MEMORY, whose
// defaults are the build's (`hold_memory_default` the entry point's own). A
// value that is not a number in its range is said in one line on standard
// error, and the default kept. Any other BRINDOCK_ variable that brindock does
// not read is said in one line as unknown and removed as well. Runs before
// the command or the watchdog is started.
void take_settings(std::size_t hold_memory_default);

// Tied: how long what is left of the command's group has to end after
// SIGTERM, and again after SIGKILL for the kernel to tear it down.
long grace_period_ms();

// How long the controller's input may stay quiet, once the command takes no
// more of it, before the relay stops waiting for its end-of-input packet.
std::int64_t quiet_period_ms();

// Framed bytes of the command's output that the hold keeps in memory before
// the spill file takes the rest.
std::size_t hold_memory_bytes();

}  // namespace brindock
