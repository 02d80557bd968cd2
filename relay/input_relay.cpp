#include "relay/input_relay.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "framing/length_header.hpp"
#include "framing/packet_reader.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_source.hpp"

namespace brindock {
namespace {

// Says on standard error why the input ends before its end-of-input packet.
void report_full_hold(const output_hold& hold)
{
    char line[160];
    const int length = std::snprintf(
        line, sizeof line, "brindock: output hold full, %llu bytes held; the input ends here\n",
        static_cast<unsigned long long>(hold_size(hold)));
    if (length > 0 && write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) {
    }
}

// Waits until `fd` is ready for `events`, taking the child's output into the
// hold whenever it is ready and fits. Returns false when the phase must end
// instead: the command's end has been seen, or the hold is full while the
// command, its output waiting, leaves the input that `fd` feeds it unread, so
// that waiting on could only end in a deadlock with a controller that writes
// all its input before reading.
bool wait_holding_output(int fd, short events, int child_output, output_hold& hold)
{
    const bool feeding_child = fd != STDIN_FILENO;
    for (;;) {
        const bool full = hold_is_full(hold);
        const bool watch_output = hold_has_room(hold) || (full && feeding_child);
        struct pollfd watched[2] = {{fd, events, 0}, {watch_output ? child_output : -1, POLLIN, 0}};
        if (!wait_unless_child_exit(watched, 2)) {
            return false;
        }
        if (watched[1].revents != 0) {
            if (full) {
                report_full_hold(hold);
                return false;
            }
            hold_read_from(hold, child_output);
        }
        if (watched[0].revents != 0) {
            return true;
        }
    }
}

// Writes one chunk to the child. A write that fails for real drops the rest of
// the chunk; a short one is completed. Returns false when the phase must end.
bool forward_chunk(int child_input, const unsigned char* chunk, std::size_t length,
                   int child_output, output_hold& hold)
{
    std::size_t offset = 0;
    while (offset < length) {
        const ssize_t written =
            write(child_input, chunk + offset, next_piece_size(length - offset));
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written < 0 && only_had_to_wait()) {
            if (!wait_holding_output(child_input, POLLOUT, child_output, hold)) {
                return false;
            }
        } else {
            break;
        }
    }
    return true;
}

// A controller still writing then fails at once instead of blocking.
void end_input_phase(int child_input)
{
    close(child_input);
    close(STDIN_FILENO);
}

}  // namespace

void relay_input(input_source& source, int child_input, int child_output, unsigned char* buffer,
                 output_hold& hold)
{
    packet_reader reader;
    bool after_wait = false;
    // The command's end ends the phase too: its output is forwarded without
    // waiting for an end-of-input packet that may never come.
    while (!phase_must_end()) {
        const ssize_t got = take_in(source, reader, buffer, relay_buffer_size, after_wait);
        after_wait = false;
        if (got < 0 && only_had_to_wait()) {
            if (!wait_holding_output(STDIN_FILENO, POLLIN, child_output, hold)) {
                break;
            }
            after_wait = true;
            continue;
        }
        if (got <= 0) {
            break;
        }
        // All that was taken in goes to the child before the next wait for
        // input, so a packet followed by a pause is not held back.
        const batch taken = take_batch(reader, buffer, static_cast<std::size_t>(got));
        if (!forward_chunk(child_input, buffer, taken.body_bytes, child_output, hold) ||
            taken.end_of_input) {
            break;
        }
        // Once per batch rather than per write, so that held packets are large.
        if (taken.body_bytes > 0 && hold_has_room(hold)) {
            hold_read_from(hold, child_output);
        }
    }
    end_input_phase(child_input);
}

}  // namespace brindock
