#include "relay/channel_packets.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framing/length_header.hpp"
#include "relay/child_exit.hpp"
#include "relay/own_lines.hpp"
#include "relay/terminal.hpp"
#include "relay/tied_mode.hpp"

namespace brindock {
namespace {

// A message's text, as a line of at most this many bytes.
constexpr std::size_t longest_message = 160;

// Adds one packet of the relay's own to the hold, where it costs no credit;
// false when the hold has no room for it. `last`: the count of untold
// messages or the exit packet, for which the hold always keeps room.
bool add_own_packet(relay_state& state, unsigned char kind, const void* payload, std::size_t length,
                    bool last)
{
    unsigned char packet[header_size + 1 + longest_message];
    encode_length_header(packet, static_cast<std::uint32_t>(length + 1));
    packet[header_size] = kind;
    std::memcpy(packet + header_size + 1, payload, length);
    const std::size_t framed = header_size + 1 + length;
    if (!hold_append_packet(state.hold, packet, framed, last)) {
        return false;
    }
    window_note_packet(state.window, framed, 0, kind);
    return true;
}

// The messages that found no room in the hold, said in one message of their
// own before any later one, and before the exit at the latest. False while
// that too finds no room.
bool tell_untold(relay_state& state, bool last)
{
    if (state.untold_messages == 0) {
        return true;
    }
    char line[longest_message];
    const int length = std::snprintf(
        line, sizeof line, "brindock: %llu more messages not sent: the hold had no room for them\n",
        static_cast<unsigned long long>(state.untold_messages));
    if (!add_own_packet(state, kind_message, line, static_cast<std::size_t>(length), last)) {
        return false;
    }
    state.untold_messages = 0;
    return true;
}

// To the members of the command's control group where it joined one, so that
// a process that started a session of its own gets it too, after the
// command's own end as well; otherwise to its process group. The command
// leads that group (tied mode) and stays unreaped until the relay's end, so
// the group's number is never anyone else's.
void send_signal(relay_state& state, int signal_number)
{
    if (signal_command_group(signal_number) || kill(-command_pid(), signal_number) == 0) {
        return;
    }
    char line[longest_message];
    const int error = errno;
    const int length =
        std::snprintf(line, sizeof line, "brindock: signal %d not sent to the command: %s\n",
                      signal_number, std::strerror(error));
    tell_controller(state, line, static_cast<std::size_t>(length));
}

void refuse(relay_state& state, const char* what, unsigned number)
{
    char line[longest_message];
    const int length = std::snprintf(line, sizeof line, "brindock: %s%u; dropped\n", what, number);
    tell_controller(state, line, static_cast<std::size_t>(length));
}

// The command's foreground group gets SIGWINCH from the kernel.
void resize(relay_state& state, unsigned rows, unsigned columns)
{
    if (terminal_master() < 0) {
        refuse(state, "window size packet without a terminal (BRINDOCK_PTY), rows ", rows);
    } else if (!resize_terminal(rows, columns)) {
        char line[longest_message];
        const int length = std::snprintf(line, sizeof line, "brindock: window size not set: %s\n",
                                         std::strerror(errno));
        tell_controller(state, line, static_cast<std::size_t>(length));
    }
}

}  // namespace

void take_control_packet(const control_packet& packet, void* context)
{
    auto& state = *static_cast<relay_state*>(context);
    const control_request request = read_control(packet);
    switch (request.verdict) {
        case control_verdict::end_of_input:
        case control_verdict::repeated_end:
            break;  // the input side acts on the first
        case control_verdict::signal:
            send_signal(state, request.signal_number);
            break;
        case control_verdict::window:
            if (state.window.on) {
                window_grant(state.window, request.credit);
            } else {
                refuse(state, "window packet without flow control (BRINDOCK_WINDOW), credit ",
                       request.credit);
            }
            break;
        case control_verdict::resize:
            resize(state, request.rows, request.columns);
            break;
        case control_verdict::unknown_kind:
            refuse(state, "unknown packet kind ", packet.kind);
            break;
        case control_verdict::end_with_payload:
            refuse(state, "end-of-input packet with a payload of bytes: ", packet.payload_length);
            break;
        case control_verdict::bad_signal_length:
            refuse(state, "signal packet whose payload is not 1 byte but ", packet.payload_length);
            break;
        case control_verdict::bad_signal_number:
            refuse(state, "signal packet for no signal from 1 to 64: ",
                   static_cast<unsigned>(request.signal_number));
            break;
        case control_verdict::bad_window_length:
            refuse(state, "window packet whose payload is not 4 bytes but ", packet.payload_length);
            break;
        case control_verdict::bad_size_length:
            refuse(state, "window size packet whose payload is not 4 bytes but ",
                   packet.payload_length);
            break;
        case control_verdict::input_after_end:
            refuse(state, "input after the end of input, bytes: ", packet.payload_length);
            break;
    }
}

void tell_controller(relay_state& state, const char* line, std::size_t length)
{
    say_line(line, length);
    if (!state.channels || !state.output_open || state.exit_sent) {
        return;
    }
    // A message that finds no room is counted, never waited for: the hold is
    // full exactly while the controller is not reading, and waiting for it
    // could only keep the relay from the input that would let it read.
    if (!tell_untold(state, false) ||
        !add_own_packet(state, kind_message, line, std::min(length, longest_message), false)) {
        ++state.untold_messages;
    }
}

void add_exit_packet(relay_state& state)
{
    const int status = ended_command_status();
    unsigned char payload[2];
    encode_exit_payload(payload, WIFSIGNALED(status),
                        WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    state.exit_sent =
        tell_untold(state, true) && add_own_packet(state, kind_exit, payload, sizeof payload, true);
}

}  // namespace brindock
