// Channel mode's packet kinds: every body, both ways, opens with one kind byte.
// What the controller's packets ask for, whether their payloads are well
// formed, and how the relay's own kinds are laid out. No system calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

// The controller's kinds.
inline constexpr unsigned char kind_input = 0;   // bytes for the command's standard input
inline constexpr unsigned char kind_end = 1;     // end of input; no payload
inline constexpr unsigned char kind_signal = 2;  // one byte: a signal number
inline constexpr unsigned char kind_window = 3;  // four bytes, big-endian: more credit
// Four bytes: the terminal's rows, then its columns, each 16-bit big-endian.
inline constexpr unsigned char kind_size = 4;

// The relay's kinds.
inline constexpr unsigned char kind_output = 0;  // the command's standard output
inline constexpr unsigned char kind_error = 1;   // the command's standard error
inline constexpr unsigned char kind_exit = 2;    // the command's end, always last
inline constexpr unsigned char kind_message =
    3;  // one line: what the relay refused or could not do

inline constexpr int highest_signal = 64;

// A packet of the controller's other than input that goes to the command,
// once it has been taken in whole. Only the first four payload bytes are kept.
struct control_packet {
    unsigned char kind = 0;
    std::uint32_t payload_length = 0;
    unsigned char payload[4] = {};
    bool after_end = false;  // it came after the end of input
};

// What a control packet asks for, or why it is refused.
enum class control_verdict {
    end_of_input,
    signal,
    window,
    resize,
    repeated_end,  // a second end of input: nothing to do
    unknown_kind,
    end_with_payload,
    bad_signal_length,
    bad_signal_number,
    bad_window_length,
    bad_size_length,
    input_after_end,
};

struct control_request {
    control_verdict verdict = control_verdict::unknown_kind;
    int signal_number = 0;     // for a signal
    std::uint32_t credit = 0;  // for a window
    unsigned rows = 0;         // for a window size
    unsigned columns = 0;
};

control_request read_control(const control_packet& packet);

// The exit packet's two payload bytes: 0 and the exit code, or 1 and the
// number of the signal that ended the command.
void encode_exit_payload(unsigned char* payload, bool by_signal, int number);

}  // namespace brindock
