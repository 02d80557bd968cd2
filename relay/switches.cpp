#include "relay/switches.hpp"

#include <stdlib.h>

#include <climits>
#include <cstring>

namespace brindock {

bool take_switch(const char* name)
{
    const char* value = getenv(name);
    const bool on = value != nullptr && std::strcmp(value, "1") == 0;
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
