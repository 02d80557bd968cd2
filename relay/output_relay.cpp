#include "relay/output_relay.hpp"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "framing/length_header.hpp"
#include "relay/channel_packets.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_relay.hpp"
#include "relay/ready_write.hpp"
#include "relay/terminal.hpp"

#ifndef BRINDOCK_STUCK_PATIENCE_MS
#define BRINDOCK_STUCK_PATIENCE_MS 10
#endif

namespace brindock {
namespace {

// How long the command's input may stay stuck behind its full pipe, while
// standard output takes no more, before output is held to let it move.
constexpr std::int64_t stuck_patience_ms = BRINDOCK_STUCK_PATIENCE_MS;

void let_go_of_output(relay_state& state)
{
    state.output_open = false;
    stop_watching_output();
    close_output();
}

// Whether the command's end has been noted. The second pipe is never the
// terminal, whose count stays open until it is read empty.
bool end_noted(const relay_state& state)
{
    return state.pipes[1].left_after_end >= 0;
}

// The first time the command's end is seen: how much of its output is left.
// The terminal's count is not known (what its writers wrote may still be on
// its way into the master), so it is read until it is found empty instead.
void note_command_end(relay_state& state)
{
    if (end_noted(state) || !child_exit_seen()) {
        return;
    }
    for (output_pipe& pipe : state.pipes) {
        pipe.waits = false;
        if (is_terminal_master(pipe.fd)) {
            continue;
        }
        int pending = 0;
        pipe.left_after_end =
            pipe.fd >= 0 && ioctl(pipe.fd, FIONREAD, &pending) == 0 ? std::max(pending, 0) : 0;
    }
}

// The command's input is stuck behind its full pipe: only holding its output
// breaks the deadlock.
bool input_stuck(const relay_state& state)
{
    return state.input == input_stage::feeding && state.child_input_waits;
}

// Milliseconds the command's input has been stuck behind its full pipe.
std::int64_t stuck_for_ms(const relay_state& state)
{
    return monotonic_ms() - state.stuck_since_ms;
}

// Whether the command's output is to be read once it is there. Until output
// may leave, it is held. After that, while standard output takes no more, only
// to let a stuck input move: the command may be waiting on its full output
// pipe while the relay waits on its full input pipe. A command that is merely
// slow to read is given a moment first, so that output is held only where it
// has to be.
bool may_read(const relay_state& state, const output_pipe& pipe)
{
    if (pipe.fd < 0 || pipe.left_after_end == 0 || !hold_has_room(state.hold) ||
        window_read_limit(state.window, input_stuck(state)) == 0) {
        return false;
    }
    if (!output_may_leave(state) || hold_size(state.hold) == 0) {
        return true;
    }
    return input_stuck(state) &&
           (state.breaking_deadlock || stuck_for_ms(state) >= stuck_patience_ms);
}

// The terminal's output ends where its master reports EIO (its last holder
// has closed it, and the master has given all it held) and, once the
// command's end is seen, where it is found empty: a read of the master
// takes in what is still on its way before it says so. Only the terminal
// ends then: a second pipe may still hold output. True when it has ended.
bool terminal_read_all(relay_state& state, output_pipe& pipe, ssize_t got)
{
    if (got > 0 || (got < 0 && errno == EINTR) ||
        (got < 0 && errno == EAGAIN && !end_noted(state))) {
        return false;
    }
    state.hold.closed = false;  // it was open, or there would have been no read
    pipe.fd = -1;
    pipe.left_after_end = 0;
    pipe.waits = false;
    return true;
}

// One read of the command's output into the hold.
bool read_output(relay_state& state, output_pipe& pipe)
{
    std::size_t most = window_read_limit(state.window, input_stuck(state));
    if (pipe.left_after_end >= 0) {
        most = std::min(static_cast<std::size_t>(pipe.left_after_end), most);
    }
    state.breaking_deadlock = output_may_leave(state) && hold_size(state.hold) > 0;
    const ssize_t got = hold_read_from(state.hold, pipe.fd, most, pipe.kind);
    pipe.seen_ready = false;
    if (is_terminal_master(pipe.fd) && terminal_read_all(state, pipe, got)) {
        return true;
    }
    if (got < 0 && only_had_to_wait()) {
        pipe.waits = true;
        return false;
    }
    if (got > 0) {
        const auto payload = static_cast<std::size_t>(got);
        window_note_packet(state.window, state.hold.framing + payload, payload, pipe.kind);
        if (pipe.left_after_end > 0) {
            pipe.left_after_end -= got;
        }
    }
    // A read that came back short emptied the pipe: wait for more rather
    // than ask again, which saves a call per packet of a command that writes
    // little at a time. Not the terminal after the command's end: only a read
    // finds its end then.
    pipe.waits = got > 0 && static_cast<std::size_t>(got) < most / 2 &&
                 !(is_terminal_master(pipe.fd) && end_noted(state));
    return true;
}

// Sends what is due of a piece's header that flow control made, noting in
// `moved` whether anything went. False when a write fails for real.
bool send_piece_header(flow_window& window, bool& moved)
{
    while (window_header_due(window) > 0) {
        const ssize_t written =
            write_what_fits(window.header + window.header_sent, window_header_due(window));
        if (written < 0) {
            return only_had_to_wait();
        }
        window_note_header_sent(window, static_cast<std::size_t>(written));
        moved = true;
    }
    return true;
}

bool piece_due(const flow_window& window)
{
    return window.skip_due > 0 || window_header_due(window) > 0;
}

// Sends what standard output takes of the hold, and what the controller's
// credit allows; flow control may put a header of its own before a piece of
// the hold, in place of one it drops from it. A write that fails for real
// ends the relay's work: nobody takes its output any more.
bool send_output(relay_state& state)
{
    flow_window& window = state.window;
    bool moved = false;
    state.controller_waits = false;
    do {
        if (window.skip_due > 0) {
            hold_drop_front(state.hold, window.skip_due);
            window_note_skipped(window);
        }
        const std::uint64_t before = hold_size(state.hold);
        const bool header_sent = send_piece_header(window, moved);
        const bool header_stuck = header_sent && window_header_due(window) > 0;
        if (!header_sent ||
            (!header_stuck && !hold_send_ready(state.hold, window_send_limit(window)))) {
            let_go_of_output(state);
            end_input(state);
            return true;
        }
        const std::uint64_t after = hold_size(state.hold);
        window_note_sent(window, before - after);
        moved = moved || after < before;
        // What may go and did not: standard output took no more.
        state.controller_waits =
            header_stuck || (after > 0 && window_send_limit(window) > 0 && !piece_due(window));
        // Sending may have paid for a piece: it goes at once.
    } while (!state.controller_waits && piece_due(window));
    state.breaking_deadlock = state.breaking_deadlock && hold_size(state.hold) > 0;
    return moved;
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
        moved = moved || state.exit_sent;
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

int patience_left(const relay_state& state)
{
    if (!state.output_open || !output_may_leave(state) || hold_size(state.hold) == 0 ||
        !input_stuck(state) || state.breaking_deadlock || !hold_has_room(state.hold)) {
        return -1;
    }
    return static_cast<int>(std::max<std::int64_t>(stuck_patience_ms - stuck_for_ms(state), 0));
}

bool controller_room_wanted(const relay_state& state)
{
    return state.output_open && output_may_leave(state) && state.controller_waits &&
           hold_size(state.hold) > 0;
}

}  // namespace brindock
