#include "relay/switches.hpp"

#include <stdlib.h>

#include <cstring>

namespace brindock {

bool take_switch(const char* name)
{
    const char* value = getenv(name);
    const bool on = value != nullptr && std::strcmp(value, "1") == 0;
    unsetenv(name);
    return on;
}

}  // namespace brindock
