#include "relay/input_relay.hpp"

#include <unistd.h>

#include <cstdio>

#include "framing/length_header.hpp"
#include "relay/channel_packets.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/terminal.hpp"

namespace brindock {
namespace {

// Says why the command's input ends before its end-of-input packet.
void report_full_hold(relay_state& state)
{
    char line[160];
    const int length = std::snprintf(
        line, sizeof line,
        "brindock: output hold full, %llu bytes held; the rest of the input is dropped\n",
        static_cast<unsigned long long>(hold_size(state.hold)));
    if (length > 0) {
        tell_controller(state, line, static_cast<std::size_t>(length));
    }
}

// The command's input closes. A terminal has no end of file of its own, so it
// is given its end-of-file character first, where that has not been done
// (one try: the relay waits for room only at the end-of-input packet).
void close_command_input(relay_state& state)
{
    if (state.child_input < 0) {
        return;
    }
    unsigned char end[2];
    const std::size_t count = terminal_takes_input() ? terminal_end_of_input(end) : 0;
    if (count > 0 && write(state.child_input, end, count) < 0) {
    }
    close(state.child_input);
    state.child_input = -1;
}

// On a terminal, the end of input is bytes to write like the rest: true when
// they have been put in the buffer to be written before the input closes.
bool queue_terminal_end(relay_state& state)
{
    if (!terminal_takes_input() || state.child_input < 0) {
        return false;
    }
    state.pending_at = 0;
    state.pending_end = terminal_end_of_input(state.buffer);
    return state.pending_end > 0;
}

bool has_pending(const relay_state& state)
{
    return state.pending_at < state.pending_end;
}

// The command takes no more input: it has ended, or the hold is full while it
// leaves its input unread and its output waits, so that waiting on could only
// end in a deadlock with a controller that writes all its input before reading.
bool command_takes_no_more(relay_state& state)
{
    if (child_exit_seen()) {
        return true;
    }
    const bool output_ready = state.pipes[0].seen_ready || state.pipes[1].seen_ready;
    if (state.child_input_waits && output_ready && hold_is_full(state.hold)) {
        report_full_hold(state);
        return true;
    }
    return false;
}

// The command's input closes; the rest of the controller's is dropped, unless
// its end-of-input packet has already been taken in.
void stop_feeding(relay_state& state)
{
    close_command_input(state);
    state.pending_at = state.pending_end = 0;
    if (state.reader.ended) {
        end_input(state);
    } else {
        state.input = input_stage::dropping;
    }
}

// Writes the bodies taken in to the command, as far as its pipe takes them. A
// write that fails for real drops the rest of them.
bool feed_command(relay_state& state)
{
    bool moved = false;
    while (has_pending(state)) {
        const ssize_t written = write(state.child_input, state.buffer + state.pending_at,
                                      next_piece_size(state.pending_end - state.pending_at));
        if (written < 0 && only_had_to_wait()) {
            state.child_input_waits = true;
            state.stuck_since_ms = monotonic_ms();
            return moved;
        }
        if (written > 0 && terminal_takes_input()) {
            note_terminal_input(state.buffer + state.pending_at, static_cast<std::size_t>(written));
        }
        state.pending_at =
            written > 0 ? state.pending_at + static_cast<std::size_t>(written) : state.pending_end;
        moved = true;
    }
    return moved;
}

enum class take { taken, must_wait, over };

// One take of the controller's input into `taken`, its body bytes at the front
// of the buffer; `over` at the end of the input or a failure of it.
take take_next(relay_state& state, batch& taken)
{
    const ssize_t got = take_in(state.source, state.reader, state.buffer, relay_buffer_size,
                                state.input_seen_ready);
    state.input_seen_ready = false;
    if (got <= 0) {
        state.input_waits = got < 0 && only_had_to_wait();
        return state.input_waits ? take::must_wait : take::over;
    }
    state.last_input_ms = monotonic_ms();
    taken = take_batch(state.reader, state.buffer, static_cast<std::size_t>(got),
                       state.channels ? take_control_packet : nullptr, &state);
    return take::taken;
}

bool feed_turn(relay_state& state)
{
    if (controller_gone()) {
        end_input(state);
        return true;
    }
    if (command_takes_no_more(state)) {
        stop_feeding(state);
        return true;
    }
    const bool fed = !state.child_input_waits && feed_command(state);
    if (has_pending(state) || state.input_waits) {
        return fed;
    }
    if ((state.reader.ended || state.reader.input_closed) && queue_terminal_end(state)) {
        feed_command(state);
        return true;
    }
    if (state.reader.ended) {
        end_input(state);
        return true;
    }
    // Channel mode: the controller's input goes on, for what is not input.
    if (state.reader.input_closed) {
        stop_feeding(state);
        return true;
    }
    batch taken;
    const take result = take_next(state, taken);
    if (result == take::over) {
        end_input(state);
    } else if (result == take::taken) {
        state.pending_at = 0;
        state.pending_end = taken.body_bytes;
        // Once per batch rather than per write, so that held packets are large.
        // Standard error, which seldom answers input, is left to the wait.
        state.pipes[0].waits = false;
        feed_command(state);
    }
    return fed || result != take::must_wait;
}

bool drop_turn(relay_state& state)
{
    if (state.input_waits) {
        return false;
    }
    batch dropped;
    const take result = take_next(state, dropped);
    if (result == take::over || state.reader.ended) {
        end_input(state);
    }
    return result != take::must_wait;
}

}  // namespace

bool relay_input(relay_state& state)
{
    switch (state.input) {
        case input_stage::feeding:
            return feed_turn(state);
        case input_stage::dropping:
            return drop_turn(state);
        default:
            return false;
    }
}

bool input_wanted(const relay_state& state)
{
    return state.input_waits && (state.input == input_stage::dropping ||
                                 (state.input == input_stage::feeding && !has_pending(state)));
}

bool command_room_wanted(const relay_state& state)
{
    return state.input == input_stage::feeding && has_pending(state) && state.child_input_waits;
}

void end_input(relay_state& state)
{
    close_command_input(state);
    state.pending_at = state.pending_end = 0;
    // A controller still writing then fails at once instead of blocking.
    close(STDIN_FILENO);
    state.input = input_stage::over;
    // No credit can come any more; holding the output back would be for good.
    window_lift(state.window);
}

}  // namespace brindock
