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
// hold whenever it is ready and fits.
void wait_holding_output(int fd, short events, int child_output, output_hold& hold)
{
    for (;;) {
        const bool holding = hold_has_room(hold);
        struct pollfd watched[2] = {{fd, events, 0}, {child_output, POLLIN, 0}};
        if (!wait_for_any(watched, holding ? 2 : 1)) {
            return;
        }
        if (holding && watched[1].revents != 0) {
            hold_read_from(hold, child_output);
        }
        if (watched[0].revents != 0) {
            return;
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
            wait_holding_output(child_input, POLLOUT, child_output, hold);
        } else {
            return;
        }
    }
}

// One read of the controller's input. A read that cannot wait is tried first,
// so that the poll is paid only when the input is not ready; where the
// descriptor does not support it (a terminal, some sockets) the relay polls
// before every read instead, and that plain read reports any real failure.
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
    wait_holding_output(STDIN_FILENO, POLLIN, child_output, hold);
    return read(STDIN_FILENO, buffer, wanted);
}

void end_input_phase(int child_input)
{
    // Before the closes: a child that ends the moment its input closes must
    // still have its output forwarded.
    mark_input_phase_over();
    close(child_input);
    close(STDIN_FILENO);
}

}  // namespace

void relay_input(int child_input, int child_output, unsigned char* buffer, output_hold& hold)
{
    packet_reader reader;
    bool try_without_wait = true;
    for (;;) {
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
