#include "relay/output_relay.hpp"

#include <sys/ioctl.h>

#include <algorithm>

#include "framing/length_header.hpp"
#include "relay/channel_packets.hpp"
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
    if (state.pipes[0].left_after_end >= 0 || !child_exit_seen()) {
        return;
    }
    for (output_pipe& pipe : state.pipes) {
        int pending = 0;
        pipe.left_after_end =
            pipe.fd >= 0 && ioctl(pipe.fd, FIONREAD, &pending) == 0 ? std::max(pending, 0) : 0;
        pipe.waits = false;
    }
}

// The command's input is stuck behind its full pipe: only holding its output
// breaks the deadlock.
bool input_stuck(const relay_state& state)
{
    return state.input == input_stage::feeding && state.child_input_waits;
}

// Whether the command's output is to be read once it is there.
bool may_read(const relay_state& state, const output_pipe& pipe)
{
    if (pipe.fd < 0 || pipe.left_after_end == 0 || !hold_has_room(state.hold) ||
        window_read_limit(state.window, input_stuck(state)) == 0) {
        return false;
    }
    // Until output may leave, it is held; after that, only what breaking a
    // deadlock needs.
    return !output_may_leave(state) || hold_size(state.hold) == 0 || input_stuck(state);
}

// One read of the command's output into the hold.
bool read_output(relay_state& state, output_pipe& pipe)
{
    std::size_t most = window_read_limit(state.window, input_stuck(state));
    if (pipe.left_after_end >= 0) {
        most = std::min(static_cast<std::size_t>(pipe.left_after_end), most);
    }
    const ssize_t got = hold_read_from(state.hold, pipe.fd, most, pipe.kind);
    pipe.seen_ready = false;
    if (got < 0 && only_had_to_wait()) {
        pipe.waits = true;
        return false;
    }
    if (got > 0) {
        const auto payload = static_cast<std::size_t>(got);
        window_note_packet(state.window, state.hold.framing + payload, payload);
        if (pipe.left_after_end > 0) {
            pipe.left_after_end -= got;
        }
    }
    return true;
}

// Sends what standard output takes of the hold, and what the controller's
// credit allows. A write that fails for real ends the relay's work: nobody
// takes its output any more.
bool send_output(relay_state& state)
{
    const std::uint64_t before = hold_size(state.hold);
    if (!hold_send_ready(state.hold, window_send_limit(state.window))) {
        let_go_of_output(state);
        end_input(state);
        return true;
    }
    const std::uint64_t after = hold_size(state.hold);
    window_note_sent(state.window, before - after);
    state.controller_waits = after > 0 && window_send_limit(state.window) > 0;
    return after < before;
}

// All the command's output there was at its end has been read.
bool all_read(const relay_state& state)
{
    return state.hold.closed ||
           (state.pipes[0].left_after_end == 0 && state.pipes[1].left_after_end == 0);
}

bool all_forwarded(const relay_state& state)
{
    return all_read(state) && hold_size(state.hold) == 0 && (!state.channels || state.exit_sent);
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
    // Each pipe in turn: output leaves in the order it was read.
    for (output_pipe& pipe : state.pipes) {
        if (state.output_open && !pipe.waits && may_read(state, pipe) && read_output(state, pipe)) {
            moved = true;
            if (may_leave && !state.controller_waits) {
                send_output(state);
            }
        }
    }
    if (state.output_open && state.channels && !state.exit_sent &&
        state.pipes[0].left_after_end >= 0 && all_read(state)) {
        add_exit_packet(state);
        send_output(state);
        moved = true;
    }
    if (state.output_open && may_leave && all_forwarded(state)) {
        let_go_of_output(state);
        moved = true;
    }
    return moved;
}

bool command_output_wanted(const relay_state& state, const output_pipe& pipe)
{
    if (!state.output_open || pipe.fd < 0) {
        return false;
    }
    // A full hold and a command that leaves its input unread: the input side
    // needs to know whether output waits too.
    const bool stuck = input_stuck(state) && hold_is_full(state.hold);
    return stuck || (pipe.waits && may_read(state, pipe));
}

bool controller_room_wanted(const relay_state& state)
{
    return state.output_open && output_may_leave(state) && state.controller_waits &&
           hold_size(state.hold) > 0;
}

}  // namespace brindock
