#include "relay/settings.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "relay/own_lines.hpp"
#include "relay/switches.hpp"

#ifndef BRINDOCK_TIED_GRACE_MS
#define BRINDOCK_TIED_GRACE_MS 3000
#endif
#ifndef BRINDOCK_QUIET_MS
#define BRINDOCK_QUIET_MS 1000
#endif

namespace brindock {
namespace {

// Every variable that brindock reads, wherever it is read: a BRINDOCK_
// variable not in this list is a mistake to be said.
constexpr const char* known_variables[] = {
    "BRINDOCK_TIED",     "BRINDOCK_STREAM",           "BRINDOCK_CHANNELS",
    "BRINDOCK_WINDOW",   "BRINDOCK_NO_CONTROL_GROUP", "BRINDOCK_GRACE_MS",
    "BRINDOCK_QUIET_MS", "BRINDOCK_HOLD_MEMORY",      "BRINDOCK_TIMEOUT_MS",
    "BRINDOCK_PTY",      "BRINDOCK_PTY_SIZE",
};

constexpr char prefix[] = "BRINDOCK_";

// A day: longer is no grace period or quiet time anyone waits for, and it
// keeps every deadline within an int of milliseconds.
constexpr unsigned long long longest_ms = 86400000;
// What was killed at the end of the grace period is waited for as long
// again: a shorter wait could end before the kernel has torn the group down,
// leaving its control group behind.
constexpr unsigned long long shortest_grace_ms = 100;
// A page at least, so that memory holds some packets before the file; 1 TiB
// at most, far past any memory, below any size_t of 64 bits.
constexpr unsigned long long least_hold = 4096;
constexpr unsigned long long most_hold =
    sizeof(std::size_t) >= 8 ? 1ULL << 40 : static_cast<unsigned long long>(SIZE_MAX);

unsigned long long grace_ms = BRINDOCK_TIED_GRACE_MS;
unsigned long long quiet_ms = BRINDOCK_QUIET_MS;
unsigned long long hold_memory = 0;

void say(const char* line, int length)
{
    if (length > 0) {
        say_line(line, static_cast<std::size_t>(length));
    }
}

// Sets `value` from the variable `name` when it is a decimal number from
// `least` to `most` `unit`; otherwise keeps it, saying so unless the variable
// is unset or empty. Either way the variable is removed.
void take_setting(const char* name, const char* unit, unsigned long long least,
                  unsigned long long most, unsigned long long& value)
{
    const char* text = getenv(name);
    char line[256];
    // Made while the value is still there; the value is cut short rather
    // than the line, as it says enough to be found.
    const int length = text == nullptr || *text == '\0'
                           ? 0
                           : std::snprintf(line, sizeof line,
                                           "brindock: %s=%.64s not understood, %llu kept; %s "
                                           "from %llu to %llu\n",
                                           name, text, value, unit, least, most);
    unsigned long long number = 0;
    if (take_number(name, number) && number >= least && number <= most) {
        value = number;
    } else {
        say(line, length);
    }
}

// True when the entry "NAME=value" names a variable in `known_variables`.
bool is_known(const char* entry, std::size_t name_length)
{
    for (const char* known : known_variables) {
        if (std::strlen(known) == name_length && std::strncmp(entry, known, name_length) == 0) {
            return true;
        }
    }
    return false;
}

// Says and removes each BRINDOCK_ variable that brindock does not read. A
// nested relay would say it again, and the command has no use for what was
// meant for the relay: no BRINDOCK_ variable reaches the command.
void take_unknown_variables()
{
    for (std::size_t at = 0; environ[at] != nullptr;) {
        const char* entry = environ[at];
        const std::size_t name_length = std::strcspn(entry, "=");
        if (std::strncmp(entry, prefix, sizeof prefix - 1) != 0 || is_known(entry, name_length)) {
            ++at;
            continue;
        }
        char line[256];
        say(line, std::snprintf(line, sizeof line, "brindock: %.*s unknown, ignored\n",
                                static_cast<int>(name_length < 64 ? name_length : 64), entry));
        char name[256];
        if (name_length < sizeof name) {
            std::memcpy(name, entry, name_length);
            name[name_length] = '\0';
            unsetenv(name);
        }
        // Removed, the next entry has moved into its place; an entry that
        // could not be removed is passed over.
        if (environ[at] == entry) {
            ++at;
        }
    }
}

}  // namespace

void take_settings(std::size_t hold_memory_default)
{
    hold_memory = hold_memory_default;
    take_setting("BRINDOCK_GRACE_MS", "milliseconds", shortest_grace_ms, longest_ms, grace_ms);
    take_setting("BRINDOCK_QUIET_MS", "milliseconds", 0, longest_ms, quiet_ms);
    take_setting("BRINDOCK_HOLD_MEMORY", "bytes", least_hold, most_hold, hold_memory);
    take_unknown_variables();
}

long grace_period_ms()
{
    return static_cast<long>(grace_ms);
}

std::int64_t quiet_period_ms()
{
    return static_cast<std::int64_t>(quiet_ms);
}

std::size_t hold_memory_bytes()
{
    return static_cast<std::size_t>(hold_memory);
}

}  // namespace brindock
