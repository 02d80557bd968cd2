#include "relay/time_limit.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "relay/channel_packets.hpp"
#include "relay/descriptors.hpp"
#include "relay/own_lines.hpp"
#include "relay/switches.hpp"
#include "relay/tied_mode.hpp"

namespace brindock {
namespace {

// The longest limit: what poll's timeout holds.
constexpr unsigned long long longest_limit_ms = 2147483647;

unsigned long long limit_ms = 0;
std::int64_t deadline_ms = -1;  // -1: none, or acted on

}  // namespace

bool take_time_limit()
{
    const char* text = getenv("BRINDOCK_TIMEOUT_MS");
    char value[72] = "";
    if (text != nullptr) {
        (void)std::snprintf(value, sizeof value, "%.64s", text);
    }
    unsigned long long asked = 0;
    const bool given = take_number("BRINDOCK_TIMEOUT_MS", asked);
    // Empty is no limit, in silence, as for the other settings.
    if (text != nullptr && *text != '\0' && (!given || asked == 0 || asked > longest_limit_ms)) {
        char line[256];
        const int length = std::snprintf(line, sizeof line,
                                         "brindock: BRINDOCK_TIMEOUT_MS=%s not understood, "
                                         "ignored; a whole number of milliseconds, 1 to %llu\n",
                                         value, longest_limit_ms);
        if (length > 0) {
            say_line(line, static_cast<std::size_t>(length));
        }
        return false;
    }
    if (!given) {
        return false;
    }
    limit_ms = asked;
    deadline_ms = monotonic_ms() + static_cast<std::int64_t>(asked);
    return true;
}

int time_limit_left()
{
    if (deadline_ms < 0) {
        return -1;
    }
    return static_cast<int>(std::max<std::int64_t>(deadline_ms - monotonic_ms(), 0));
}

void act_on_time_limit(relay_state& state)
{
    if (time_limit_left() != 0) {
        return;
    }
    deadline_ms = -1;
    end_command_group_now();
    char line[128];
    const int length = std::snprintf(
        line, sizeof line,
        "brindock: time limit of %llu ms reached; the command's group is ended\n", limit_ms);
    tell_controller(state, line, static_cast<std::size_t>(length));
}

}  // namespace brindock
