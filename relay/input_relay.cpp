#include "relay/input_relay.hpp"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "framing/length_header.hpp"
#include "framing/packet_reader.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_source.hpp"

#ifndef BRINDOCK_QUIET_MS
#define BRINDOCK_QUIET_MS 50
#endif
#ifndef BRINDOCK_STREAM_SPIN_US
#define BRINDOCK_STREAM_SPIN_US 50
#endif

namespace brindock {
namespace {

// How long the controller's input may stay quiet, once the command takes no
// more of it, before the relay stops waiting for its end-of-input packet.
constexpr std::int64_t quiet_ms = BRINDOCK_QUIET_MS;

// How long a streaming relay looks for input or output before it sleeps: an
// answer that comes within it goes out without the cost of a wake-up, which
// on two processors is most of what a hop costs.
constexpr int stream_spin_us = BRINDOCK_STREAM_SPIN_US;

struct input_phase {
    input_source& source;
    int child_input;
    int child_output;
    unsigned char* buffer;
    output_hold& hold;
    bool forwarding;  // the hold goes out to the controller while input flows
    packet_reader reader{};
    std::int64_t last_input_ms = 0;  // when input was last taken in
};

// Why feeding the command stopped: its input is all there, or it ended early.
enum class feed_end { input_over, early };

std::int64_t now_ms()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Says on standard error why the command's input ends before its end-of-input packet.
void report_full_hold(const output_hold& hold)
{
    char line[160];
    const int length = std::snprintf(
        line, sizeof line,
        "brindock: output hold full, %llu bytes held; the rest of the input is dropped\n",
        static_cast<unsigned long long>(hold_size(hold)));
    if (length > 0 && write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) {
    }
}

// Takes what waits of the child's output into the hold and, forwarding, sends
// what standard output takes of it. Returns false when standard output failed.
bool move_output(input_phase& phase, bool output_ready, bool controller_ready)
{
    if (controller_ready && !hold_send_ready(phase.hold)) {
        return false;
    }
    if (output_ready && hold_has_room(phase.hold) &&
        hold_read_from(phase.hold, phase.child_output) > 0 && phase.forwarding) {
        return hold_send_ready(phase.hold);
    }
    return true;
}

// Watches, beside `fd`, the child's output while the hold has room for it
// (and, when feeding the command, while the hold is full) and, forwarding,
// standard output while the hold has something for it.
void watch(const input_phase& phase, pollfd (&watched)[3], int fd, short events)
{
    const bool full = hold_is_full(phase.hold);
    const bool feeding = fd == phase.child_input;
    const bool sending = phase.forwarding && hold_size(phase.hold) > 0;
    watched[0] = {fd, events, 0};
    watched[1] = {hold_has_room(phase.hold) || (full && feeding) ? phase.child_output : -1, POLLIN,
                  0};
    watched[2] = {sending ? STDOUT_FILENO : -1, POLLOUT, 0};
}

// Waits until `fd` is ready for `events`, moving the child's output meanwhile.
// Returns false when feeding the command must end instead: the command's end
// has been seen, the controller has gone, standard output failed, or the hold
// is full while the command, its output waiting, leaves its input unread, so
// that waiting on could only end in a deadlock with a controller that writes
// all its input before reading.
bool wait_moving_output(input_phase& phase, int fd, short events)
{
    for (;;) {
        struct pollfd watched[3];
        watch(phase, watched, fd, events);
        if (!wait_unless_child_exit(watched, 3, phase.forwarding ? stream_spin_us : 0) ||
            !move_output(phase, false, watched[2].revents != 0)) {
            return false;
        }
        if (watched[1].revents != 0) {
            if (hold_is_full(phase.hold)) {
                report_full_hold(phase.hold);
                return false;
            }
            if (!move_output(phase, true, false)) {
                return false;
            }
        }
        if (watched[0].revents != 0) {
            return true;
        }
    }
}

// Writes one chunk to the child. A write that fails for real drops the rest of
// the chunk; a short one is completed. Returns false when feeding must end.
bool forward_chunk(input_phase& phase, std::size_t length)
{
    std::size_t offset = 0;
    while (offset < length) {
        const ssize_t written =
            write(phase.child_input, phase.buffer + offset, next_piece_size(length - offset));
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written < 0 && only_had_to_wait()) {
            if (!wait_moving_output(phase, phase.child_input, POLLOUT)) {
                return false;
            }
        } else {
            break;
        }
    }
    return true;
}

enum class take { taken, must_wait, over };

// One take of the controller's input into `taken`, its body bytes at the front
// of the buffer; `over` at the end of the input or a failure of it.
take take_next(input_phase& phase, bool& after_wait, batch& taken)
{
    const ssize_t got =
        take_in(phase.source, phase.reader, phase.buffer, relay_buffer_size, after_wait);
    after_wait = false;
    if (got <= 0) {
        return got < 0 && only_had_to_wait() ? take::must_wait : take::over;
    }
    phase.last_input_ms = now_ms();
    taken = take_batch(phase.reader, phase.buffer, static_cast<std::size_t>(got));
    return taken.end_of_input ? take::over : take::taken;
}

// Passes the controller's packets to the command until the end of its input,
// or until the command can take no more of it.
feed_end feed_command(input_phase& phase)
{
    bool after_wait = false;
    // The command's end ends feeding too: its output is forwarded without
    // waiting for an end-of-input packet that may never come.
    while (!phase_must_end()) {
        batch taken;
        const take result = take_next(phase, after_wait, taken);
        if (result == take::must_wait) {
            if (!wait_moving_output(phase, STDIN_FILENO, POLLIN)) {
                break;
            }
            after_wait = true;
            continue;
        }
        // All that was taken in goes to the child before the next wait for
        // input, so a packet followed by a pause is not held back.
        if (!forward_chunk(phase, taken.body_bytes)) {
            break;
        }
        if (result == take::over) {
            return feed_end::input_over;
        }
        // Once per batch rather than per write, so that held packets are large.
        if (!move_output(phase, true, phase.forwarding)) {
            break;
        }
    }
    return controller_gone() ? feed_end::input_over : feed_end::early;
}

// Waits for more input, moving output meanwhile, until the input has been
// quiet for quiet_ms since it was last taken. Returns false once it has, or
// when the controller has gone or standard output failed.
bool wait_for_more_input(input_phase& phase)
{
    for (;;) {
        const std::int64_t left = phase.last_input_ms + quiet_ms - now_ms();
        if (left <= 0 || controller_gone()) {
            return false;
        }
        struct pollfd watched[3];
        watch(phase, watched, STDIN_FILENO, POLLIN);
        if (!wait_for_event(watched, 3, static_cast<int>(left)) ||
            !move_output(phase, watched[1].revents != 0, watched[2].revents != 0)) {
            return false;
        }
        if (watched[0].revents != 0) {
            return true;
        }
    }
}

// The command takes no more input, but the controller may still be writing,
// and a controller that gives up at its first failed write would lose the
// command's output. So the rest of its input is taken in and dropped, up to
// its end-of-input packet and never past it, while output goes out as the
// controller takes it; a controller that has stopped writing is not waited
// for beyond a short quiet time.
void drop_rest_of_input(input_phase& phase)
{
    phase.forwarding = true;
    bool after_wait = false;
    for (;;) {
        batch dropped;
        const take result = take_next(phase, after_wait, dropped);
        if (result == take::over) {
            return;
        }
        if (result == take::must_wait) {
            if (!wait_for_more_input(phase)) {
                return;
            }
            after_wait = true;
        } else if (!move_output(phase, true, true)) {
            return;
        }
    }
}

}  // namespace

void relay_input(input_source& source, int child_input, int child_output, unsigned char* buffer,
                 output_hold& hold, bool forwarding)
{
    input_phase phase{source, child_input, child_output, buffer, hold, forwarding};
    phase.last_input_ms = now_ms();
    const feed_end end = feed_command(phase);
    // The command's input ends here, whatever comes after it.
    close(child_input);
    if (end == feed_end::early) {
        drop_rest_of_input(phase);
    }
    // A controller still writing then fails at once instead of blocking.
    close(STDIN_FILENO);
}

}  // namespace brindock
