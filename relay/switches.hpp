// The relay's switches: environment variables that turn a mode on. Each is
// read once at start and removed from the environment, so that the command,
// a nested relay say, starts without it.
#pragma once

namespace brindock {

// True when the variable `name` is exactly "1"; any other value, or none,
// leaves the mode off. Either way the variable is removed.
bool take_switch(const char* name);

}  // namespace brindock
