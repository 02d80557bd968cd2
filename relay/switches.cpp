#include "relay/switches.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "relay/own_lines.hpp"

namespace brindock {
namespace {

void report_value_not_understood(const char* name, const char* value)
{
    char line[256];
    // The value is cut short rather than the line: it says enough to be found.
    const int length = std::snprintf(
        line, sizeof line, "brindock: %s=%.64s not understood, left off; only 1 turns it on\n",
        name, value);
    if (length > 0) {
        say_line(line, static_cast<std::size_t>(length));
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

bool take_number(const char* name, unsigned long long& value)
{
    const char* text = getenv(name);
    bool valid = text != nullptr && *text != '\0';
    unsigned long long number = 0;
    for (const char* at = text; valid && *at != '\0'; ++at) {
        const auto digit = static_cast<unsigned>(*at - '0');
        valid = digit <= 9 && number <= (ULLONG_MAX - digit) / 10;
        number = number * 10 + digit;
    }
    unsetenv(name);
    if (valid) {
        value = number;
    }
    return valid;
}

}  // namespace brindock
