// The floor for a conversation's latency: the least that any relay between a
// controller and a command does per exchange, one poll, one read and one
// write each way, and nothing else. It takes each read of its input as one
// whole packet and drops the 4-byte header, which holds only for a controller
// that writes one small packet and waits for its answer, as the benchmark's
// conversation does; a read of 4 bytes or fewer ends the command's input.
//
// Usage: hop_forwarder "cmd"
#include <poll.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "bench/shell_command.hpp"
#include "framing/length_header.hpp"

int main(int argc, char** argv)
{
    int to_command = -1, from_command = -1;
    if (argc != 2 || bench::start_shell_command(argv[1], to_command, from_command) < 0) {
        return 2;
    }
    static unsigned char buffer[65536];
    constexpr std::size_t header = brindock::header_size;
    for (;;) {
        pollfd watched[2] = {{to_command >= 0 ? 0 : -1, POLLIN, 0}, {from_command, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            return 1;
        }
        if (watched[0].revents != 0) {
            const ssize_t got = read(0, buffer, sizeof buffer);
            if (got <= static_cast<ssize_t>(header)) {
                close(to_command);
                to_command = -1;
            } else if (write(to_command, buffer + header, static_cast<std::size_t>(got) - header) <
                       0) {
                return 1;
            }
        }
        if (watched[1].revents != 0) {
            const ssize_t got = read(from_command, buffer + header, sizeof buffer - header);
            if (got <= 0) {
                return 0;
            }
            brindock::encode_length_header(buffer, static_cast<std::uint32_t>(got));
            if (write(1, buffer, header + static_cast<std::size_t>(got)) < 0) {
                return 1;
            }
        }
    }
}
