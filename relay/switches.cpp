#include "relay/switches.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace brindock {
namespace {

void report_value_not_understood(const char* name, const char* value)
{
    char line[256];
    // The value is cut short rather than the line: it says enough to be found.
    const int length = std::snprintf(
        line, sizeof line, "brindock: %s=%.64s not understood, left off; only 1 turns it on\n",
        name, value);
    if (length > 0 && write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) {
    }
}

}  // namespace

bool take_switch(const char* name)
{
    const char* value = getenv(name);
    const bool on = value != nullptr && std::strcmp(value, "1") == 0;
    if (value != nullptr && !on && value[0] != '\0' && std::strcmp(value, "0") != 0) {
        report_value_not_understood(name, value);
    }
    unsetenv(name);
    return on;
}

}  // namespace brindock
