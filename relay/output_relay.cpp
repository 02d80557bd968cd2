#include "relay/output_relay.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "framing/length_header.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"

namespace brindock {
namespace {

// Frames the `payload` bytes already read at buffer + 4 and sends the packet.
bool send_packet(unsigned char* buffer, std::size_t payload)
{
    encode_length_header(buffer, static_cast<std::uint32_t>(payload));
    return write_fully(STDOUT_FILENO, buffer, header_size + payload);
}

// Waits until the child's output is ready or the command's end has been seen.
void wait_for_output_or_exit(int child_output)
{
    struct pollfd watched = {child_output, POLLIN, 0};
    wait_unless_child_exit(&watched, 1);
}

// The child has ended: forward what its pipe holds now and nothing more, so
// that a writer left in the background cannot keep the relay alive.
void forward_remaining_output(int child_output, unsigned char* buffer)
{
    int pending = 0;
    if (ioctl(child_output, FIONREAD, &pending) != 0) {
        return;
    }
    auto remaining = static_cast<std::size_t>(std::max(pending, 0));
    while (remaining > 0) {
        const ssize_t got =
            read(child_output, buffer + header_size, std::min(remaining, max_output_payload));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || !send_packet(buffer, static_cast<std::size_t>(got))) {
            return;
        }
        remaining -= std::min(remaining, static_cast<std::size_t>(got));
    }
}

}  // namespace

void relay_output(int child_output, unsigned char* buffer, output_hold& hold)
{
    // A controller already gone (tied) is not written to: nothing could arrive.
    if (controller_gone() || !hold_send_all(hold, STDOUT_FILENO)) {
        return;
    }
    for (;;) {
        if (controller_gone()) {
            return;
        }
        if (child_exit_seen()) {
            forward_remaining_output(child_output, buffer);
            return;
        }
        const ssize_t got = read(child_output, buffer + header_size, max_output_payload);
        if (got > 0) {
            if (!send_packet(buffer, static_cast<std::size_t>(got))) {
                return;
            }
        } else if (got < 0 && only_had_to_wait()) {
            wait_for_output_or_exit(child_output);
        } else {
            return;
        }
    }
}

}  // namespace brindock
