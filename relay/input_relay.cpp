#include "relay/input_relay.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "framing/length_header.hpp"
#include "framing/packet_reader.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"

namespace brindock {
namespace {

// Waits until `fd` is ready for `events`, taking the child's output into the
// hold whenever it is ready and fits. Returns false when a SIGCHLD has been
// recorded: the phase ends instead of waiting on.
bool wait_holding_output(int fd, short events, int child_output, output_hold& hold)
{
    for (;;) {
        const bool holding = hold_has_room(hold);
        struct pollfd watched[3] = {
            {child_exit_event_fd(), POLLIN, 0}, {fd, events, 0}, {child_output, POLLIN, 0}};
        if (!wait_for_any(watched, holding ? 3 : 2) || child_exit_seen()) {
            return !child_exit_seen();
        }
        if (holding && watched[2].revents != 0) {
            hold_read_from(hold, child_output);
        }
        if (watched[1].revents != 0) {
            return true;
        }
    }
}

// Writes one chunk to the child. A write that fails for real drops the rest of
// the chunk; a short one is completed.
void forward_chunk(int child_input, const unsigned char* chunk, std::size_t length,
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
                return;
            }
        } else {
            return;
        }
    }
}

// One read of the controller's input. A read that cannot wait is tried first,
// so that the poll is paid only when the input is not ready; where the
// descriptor does not support it (a terminal, some sockets) the relay polls
// before every read instead, and that plain read reports any real failure.
// Fails with EINTR once a SIGCHLD has been recorded.
ssize_t read_controller_input(unsigned char* buffer, std::size_t wanted, bool& try_without_wait,
                              int child_output, output_hold& hold)
{
    if (try_without_wait) {
        struct iovec into {
            buffer, wanted
        };
        const ssize_t got = preadv2(STDIN_FILENO, &into, 1, -1, RWF_NOWAIT);
        if (got >= 0 || errno == EINTR) {
            return got;
        }
        try_without_wait = errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (!wait_holding_output(STDIN_FILENO, POLLIN, child_output, hold)) {
        errno = EINTR;
        return -1;
    }
    return read(STDIN_FILENO, buffer, wanted);
}

// A controller still writing then fails at once instead of blocking.
void end_input_phase(int child_input)
{
    close(child_input);
    close(STDIN_FILENO);
}

}  // namespace

void relay_input(int child_input, int child_output, unsigned char* buffer, output_hold& hold)
{
    packet_reader reader;
    bool try_without_wait = true;
    // The command's end ends the phase too: its output is forwarded without
    // waiting for an end-of-input packet that may never come.
    while (!child_exit_seen()) {
        const ssize_t got = read_controller_input(buffer, next_read_size(reader, relay_buffer_size),
                                                  try_without_wait, child_output, hold);
        if (got < 0 && only_had_to_wait()) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const auto count = static_cast<std::size_t>(got);
        const input_step step = take_input(reader, buffer, count);
        if (step == input_step::end_of_input) {
            break;
        }
        if (step == input_step::body_bytes) {
            forward_chunk(child_input, buffer, count, child_output, hold);
        }
    }
    end_input_phase(child_input);
}

}  // namespace brindock
