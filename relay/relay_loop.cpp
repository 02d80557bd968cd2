#include "relay/relay_loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_relay.hpp"
#include "relay/output_relay.hpp"
#include "relay/ready_write.hpp"
#include "relay/settings.hpp"
#include "relay/time_limit.hpp"

#ifndef BRINDOCK_STREAM_SPIN_US
#define BRINDOCK_STREAM_SPIN_US 50
#endif

namespace brindock {
namespace {

// How long a streaming relay looks for what it waits for before it sleeps: an
// answer that comes within it goes out without the cost of a wake-up, which
// on two processors is most of what a hop costs.
constexpr int stream_spin_us = BRINDOCK_STREAM_SPIN_US;

// The most waits a look that keeps missing is left out for, in a row.
constexpr int longest_spin_pause = 64;

// A kind of wait in a conversation: for the command's answer once input has
// gone to it, or for the controller's next request once an answer has gone.
// The look pays only where such a wait found its own event within it
// recently (more output after output, from a command that writes at a steady
// pace, is no answer): a miss leaves the look out for twice as many waits as
// before, a hit halves that.
struct spin_record {
    int pause = 0;
    int skip = 0;
};

enum class awaited { answer, request, other };

struct loop_memory {
    awaited kind = awaited::other;
    spin_record records[2];
};

int spin_for(const relay_state& state, loop_memory& memory)
{
    if (!state.streaming || memory.kind == awaited::other || controller_room_wanted(state)) {
        return 0;
    }
    spin_record& record = memory.records[static_cast<int>(memory.kind)];
    if (record.skip > 0) {
        --record.skip;
        return 0;
    }
    return stream_spin_us;
}

void note_spin(loop_memory& memory, bool found)
{
    spin_record& record = memory.records[static_cast<int>(memory.kind)];
    record.pause = found ? record.pause / 2 : std::min(2 * record.pause + 1, longest_spin_pause);
    record.skip = record.pause;
}

// Adds `fd` to `watched` when `wanted`; returns its place, or -1.
int watch_if(bool wanted, pollfd* watched, nfds_t& count, int fd, short events)
{
    if (!wanted) {
        return -1;
    }
    watched[count] = {fd, events, 0};
    return static_cast<int>(count++);
}

bool ready(const pollfd* watched, int at)
{
    return at >= 0 && watched[at].revents != 0;
}

// Milliseconds until the dropped input counts as quiet; -1: no such limit.
// In channel mode the controller's windows may still be needed until standard
// output has been let go of.
int quiet_left(const relay_state& state)
{
    if (state.input != input_stage::dropping || (state.channels && state.output_open)) {
        return -1;
    }
    return static_cast<int>(
        std::max<std::int64_t>(state.last_input_ms + quiet_period_ms() - monotonic_ms(), 0));
}

// The one wait. Input counts as quiet only when standard input was looked at
// and found with nothing waiting, long enough after it last had something.
void wait_for_what_waits(relay_state& state, loop_memory& memory)
{
    pollfd watched[5];
    nfds_t count = 0;
    const int input = watch_if(input_wanted(state), watched, count, STDIN_FILENO, POLLIN);
    const int room =
        watch_if(command_room_wanted(state), watched, count, state.child_input, POLLOUT);
    int outputs[2];
    for (int i = 0; i < 2; ++i) {
        const output_pipe& pipe = state.pipes[i];
        outputs[i] = watch_if(command_output_wanted(state, pipe), watched, count, pipe.fd, POLLIN);
    }
    const int controller =
        watch_if(controller_room_wanted(state), watched, count, STDOUT_FILENO, POLLOUT);
    const int spin_us = spin_for(state, memory);
    bool found_spinning = false;
    const int quiet = quiet_left(state);
    const int patience = patience_left(state);
    int timeout = quiet < 0 || (patience >= 0 && patience < quiet) ? patience : quiet;
    const int limit = time_limit_left();
    timeout = timeout < 0 || (limit >= 0 && limit < timeout) ? limit : timeout;
    const bool any = wait_for_event(watched, count, timeout, spin_us, &found_spinning);
    if (spin_us > 0) {
        // Only what this kind of wait waits for counts as found.
        const bool answered = ready(watched, outputs[0]) || ready(watched, outputs[1]);
        note_spin(memory, found_spinning &&
                              (memory.kind == awaited::answer ? answered : ready(watched, input)));
    }
    if (ready(watched, input)) {
        state.input_waits = false;
        state.input_seen_ready = true;
        state.last_input_ms = monotonic_ms();
    }
    state.child_input_waits = state.child_input_waits && !ready(watched, room);
    for (int i = 0; i < 2; ++i) {
        if (ready(watched, outputs[i])) {
            state.pipes[i].waits = false;
            state.pipes[i].seen_ready = true;
        }
    }
    state.controller_waits = state.controller_waits && !ready(watched, controller);
    if (!any && input >= 0 && quiet_left(state) == 0) {
        end_input(state);
    }
}

}  // namespace

void run_relay(relay_state& state)
{
    prepare_output();
    state.last_input_ms = monotonic_ms();
    loop_memory memory;
    for (;;) {
        act_on_time_limit(state);
        const bool input_moved = relay_input(state);
        const bool output_moved = relay_output(state);
        if (state.input == input_stage::over && !state.output_open) {
            return;
        }
        if (output_moved) {
            memory.kind = awaited::request;
        } else if (input_moved) {
            memory.kind = awaited::answer;
        } else {
            wait_for_what_waits(state, memory);
        }
    }
}

}  // namespace brindock
