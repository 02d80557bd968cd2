#include "relay/output_relay.hpp"

#include <sys/ioctl.h>

#include <algorithm>

#include "framing/length_header.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_relay.hpp"
#include "relay/ready_write.hpp"

namespace brindock {
namespace {

void let_go_of_output(relay_state& state)
{
    state.output_open = false;
    stop_watching_output();
    close_output();
}

// The first time the command's end is seen: how much of its output is left.
void note_command_end(relay_state& state)
{
    if (state.left_after_end >= 0 || !child_exit_seen()) {
        return;
    }
    int pending = 0;
    state.left_after_end =
        ioctl(state.child_output, FIONREAD, &pending) == 0 ? std::max(pending, 0) : 0;
    state.output_waits = false;
}

// Whether the command's output is to be read once it is there.
bool may_read(const relay_state& state)
{
    if (state.left_after_end == 0 || !hold_has_room(state.hold)) {
        return false;
    }
    // Until output may leave, it is held; after that, only what breaking a
    // deadlock needs.
    return !output_may_leave(state) || hold_size(state.hold) == 0 ||
           (state.input == input_stage::feeding && state.child_input_waits);
}

// One read of the command's output into the hold.
bool read_output(relay_state& state)
{
    const std::size_t most =
        state.left_after_end < 0
            ? max_output_payload
            : std::min(static_cast<std::size_t>(state.left_after_end), max_output_payload);
    const ssize_t got = hold_read_from(state.hold, state.child_output, most);
    state.output_seen_ready = false;
    if (got < 0 && only_had_to_wait()) {
        state.output_waits = true;
        return false;
    }
    if (got > 0 && state.left_after_end > 0) {
        state.left_after_end -= got;
    }
    return true;
}

// Sends what standard output takes of the hold. A write that fails for real
// ends the relay's work: nobody takes its output any more.
bool send_output(relay_state& state)
{
    const std::uint64_t before = hold_size(state.hold);
    if (!hold_send_ready(state.hold)) {
        let_go_of_output(state);
        end_input(state);
        return true;
    }
    const std::uint64_t after = hold_size(state.hold);
    state.controller_waits = after > 0;
    return after < before;
}

bool all_forwarded(const relay_state& state)
{
    return (state.left_after_end == 0 || state.hold.closed) && hold_size(state.hold) == 0;
}

}  // namespace

bool relay_output(relay_state& state)
{
    if (!state.output_open) {
        return false;
    }
    if (controller_gone()) {
        let_go_of_output(state);
        end_input(state);
        return true;
    }
    note_command_end(state);
    const bool may_leave = output_may_leave(state);
    bool moved = false;
    if (may_leave && !state.controller_waits && hold_size(state.hold) > 0) {
        moved = send_output(state);
    }
    if (state.output_open && !state.output_waits && may_read(state) && read_output(state)) {
        moved = true;
        if (may_leave && !state.controller_waits) {
            send_output(state);
        }
    }
    if (state.output_open && may_leave && all_forwarded(state)) {
        let_go_of_output(state);
        moved = true;
    }
    return moved;
}

bool command_output_wanted(const relay_state& state)
{
    if (!state.output_open) {
        return false;
    }
    // A full hold and a command that leaves its input unread: the input side
    // needs to know whether output waits too.
    const bool stuck =
        state.input == input_stage::feeding && state.child_input_waits && hold_is_full(state.hold);
    return stuck || (state.output_waits && may_read(state));
}

bool controller_room_wanted(const relay_state& state)
{
    return state.output_open && output_may_leave(state) && state.controller_waits &&
           hold_size(state.hold) > 0;
}

}  // namespace brindock
