// The relay's switches: environment variables that turn a mode on or set a
// number. Each is
// read once at start and removed from the environment, so that the command,
// a nested relay say, starts without it.
#pragma once

namespace brindock {

// True when the variable `name` is exactly "1". Unset, empty or "0" leaves the
// mode off; any other value ("true", "yes") leaves it off too, and says so in
// one line on standard error, as a controller that meant it on would
// otherwise never learn why nothing changed. Either way the variable is
// removed.
bool take_switch(const char* name);

// True when the variable `name` is a decimal number (digits only, below
// 2^64), which is stored in `value`; false otherwise. Either way the variable
// is removed.
bool take_number(const char* name, unsigned long long& value);

}  // namespace brindock
