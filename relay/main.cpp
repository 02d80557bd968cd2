// brindock "cmd": runs cmd through /bin/sh and relays between the controller's
// length-prefixed packets and the command's plain byte streams. The entry owns
// the relay buffer and the process's life: start-up, the relay's loop, the end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framing/length_header.hpp"
#include "relay/channel_packets.hpp"
#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"
#include "relay/input_source.hpp"
#include "relay/launcher.hpp"
#include "relay/output_hold.hpp"
#include "relay/own_lines.hpp"
#include "relay/relay_loop.hpp"
#include "relay/relay_state.hpp"
#include "relay/settings.hpp"
#include "relay/switches.hpp"
#include "relay/terminal.hpp"
#include "relay/tied_mode.hpp"
#include "relay/time_limit.hpp"

#ifndef BRINDOCK_HOLD_MEMORY
#define BRINDOCK_HOLD_MEMORY 67108864
#endif
#ifndef BRINDOCK_VERSION
#define BRINDOCK_VERSION "unknown"
#endif
#ifndef BRINDOCK_SPILL_CAP
#define BRINDOCK_SPILL_CAP UINT64_MAX
#endif

namespace {

using namespace brindock;

// Framed bytes of the child's output that the hold keeps in memory while it
// may not leave yet, unless BRINDOCK_HOLD_MEMORY says otherwise; more goes to
// the spill file, up to its cap (none by default), while its file system
// keeps a reserve free.
constexpr std::size_t hold_memory = BRINDOCK_HOLD_MEMORY;
static_assert(hold_memory > header_size, "the hold must fit at least one packet");
constexpr std::uint64_t spill_cap = BRINDOCK_SPILL_CAP;

// The controller's input on its way to the command.
alignas(8) unsigned char relay_buffer[relay_buffer_size];

void write_usage()
{
    static const char usage[] = "brindock \"cmd\"\r\n";
    if (write(STDERR_FILENO, usage, sizeof usage - 1) < 0) {
    }
}

// An argument of exactly -h, --help or --version is no command anyone runs
// (the shell takes it as an option of its own), so it asks about brindock
// instead. True when it did and was answered on standard output.
bool answer_about_brindock(const char* argument)
{
    static const char help[] =
        "usage: brindock \"cmd\"\n"
        "Runs cmd through /bin/sh -c. The bodies of the length-prefixed packets on\n"
        "standard input (a 4-byte big-endian length, then the body) become the\n"
        "command's standard input, up to a zero-length packet; what the command\n"
        "writes on its standard output comes back as packets on standard output.\n"
        "\n"
        "  BRINDOCK_TIED=1 brindock \"cmd\"     end with the command and exit with its status\n"
        "  BRINDOCK_STREAM=1 brindock \"cmd\"   send the output while input still flows\n"
        "  BRINDOCK_CHANNELS=1 brindock \"cmd\" kinds of packet: standard error, the exit,\n"
        "                                     signals; BRINDOCK_WINDOW=N for flow control\n"
        "  BRINDOCK_PTY=1 brindock \"cmd\"      its output on a terminal, which makes programs\n"
        "                                     answer at once; BRINDOCK_PTY=all: its input too\n"
        "                                     (terminal rules: lines, ^C, ^D); size from\n"
        "                                     BRINDOCK_PTY_SIZE=ROWSxCOLS, default 24x80\n"
        "  brindock -h, brindock --help       this text\n"
        "  brindock --version                 the version\n"
        "\n"
        "The rest is in the manual: man brindock\n";
    static const char version[] = "brindock " BRINDOCK_VERSION "\n";
    const bool asks_help = std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0;
    const char* answer = asks_help                                 ? help
                         : std::strcmp(argument, "--version") == 0 ? version
                                                                   : nullptr;
    if (answer == nullptr) {
        return false;
    }
    write_fully(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(answer), std::strlen(answer));
    return true;
}

// The controller gets the fixed text it knows on standard output; whoever
// reads standard error gets `reason`, a line.
[[noreturn]] void fail_to_start(const char* reason)
{
    say_line(reason, std::strlen(reason));
    std::puts("Unable to exec your-program-B");
    std::exit(1);
}

// `error` is the errno of the call that failed.
[[noreturn]] void fail_launch(int error)
{
    char reason[160];
    (void)std::snprintf(reason, sizeof reason, "brindock: cannot start the command: %s\n",
                        std::strerror(error));
    fail_to_start(reason);
}

// Channel mode's first credit, BRINDOCK_WINDOW; true with flow control. A
// value not understood is said; in channel mode nothing then starts: a
// controller that asked for a window must be neither flooded without one nor
// left waiting on a credit it never meant to give.
bool take_window(bool channels, std::uint64_t& credit)
{
    const char* text = std::getenv("BRINDOCK_WINDOW");
    if (text == nullptr || *text == '\0') {
        unsetenv("BRINDOCK_WINDOW");
        return false;
    }
    char line[192];
    (void)std::snprintf(
        line, sizeof line,
        "brindock: BRINDOCK_WINDOW=%.64s not understood: a number of bytes from 0 to "
        "%llu%s\n",
        text, ULLONG_MAX, channels ? "; not started" : "");
    unsigned long long value = 0;
    if (take_number("BRINDOCK_WINDOW", value)) {
        credit = value;
        return channels;
    }
    if (channels) {
        fail_to_start(line);
    }
    say_line(line, std::strlen(line));
    return false;
}

// Starts the command with what taking in its input needs, and, tied, through
// its watchdog. The private pipe of that is made first, so that the relay's
// descriptors stay the same while it runs, and is the first thing given up
// when descriptors are short. `child_error`, when given, receives the read
// end of the command's own standard error pipe. In terminal mode the
// terminal's master takes the place of the pipes it replaces.
pid_t launch(const char* command, bool tied, terminal_strength terminal, input_source& source,
             int& child_input, int& child_output, int* child_error)
{
    if (!open_child_exit_event()) {
        fail_launch(errno);
    }
    source = open_input_source();
    const int slave = terminal == terminal_strength::off ? -1 : open_terminal(terminal);
    if (terminal != terminal_strength::off && slave < 0) {
        fail_launch(errno);
    }
    const bool terminal_input = terminal == terminal_strength::all;
    const auto spawn = [&] {
        return tied ? spawn_tied_command(command, &child_input, &child_output, child_error, slave,
                                         terminal_input)
                    : spawn_shell_command(command, &child_input, &child_output, child_error, slave,
                                          terminal_input);
    };
    pid_t child = spawn();
    if (child < 0 && errno == EMFILE && release_private_pipe(source)) {
        child = spawn();
    }
    if (child <= 0) {
        fail_launch(errno);
    }
    close_terminal_slave(slave);
    if (slave >= 0) {
        child_output = terminal_master();
    }
    // A descriptor of its own, as the input side closes it at the end of input.
    if (terminal_input) {
        child_input = fcntl(terminal_master(), F_DUPFD_CLOEXEC, 3);
        if (child_input < 0) {
            fail_launch(errno);
        }
    }
    if (tied) {
        install_ending_signal_handlers();
    }
    watch_command(child, tied);
    return child;
}

}  // namespace

int main(int argc, char** argv)
{
    install_child_exit_handler();
    open_missing_standard_descriptors();
    if (argc != 2) {
        write_usage();
        return 0;
    }
    if (answer_about_brindock(argv[1])) {
        return 0;
    }
    take_settings(hold_memory);
    // Channel mode is tied and streaming as well.
    const bool channels = take_switch("BRINDOCK_CHANNELS");
    const bool tied_asked = take_tied_request();
    // A time limit ends the command's group, which only tied mode has.
    const bool timed = take_time_limit();
    const bool tied = tied_asked || channels || timed;
    // Streaming, output goes out while input still flows, not after it.
    const bool streaming = take_switch("BRINDOCK_STREAM") || channels;
    std::uint64_t first_credit = 0;
    const bool flow_control = take_window(channels, first_credit);
    const terminal_strength terminal = take_terminal_request();
    input_source source;
    int child_input = -1;
    int child_output = -1;
    int child_error = -1;
    launch(argv[1], tied, terminal, source, child_input, child_output,
           channels ? &child_error : nullptr);
    output_hold hold;
    hold.limit = hold_memory_bytes();
    hold.spill.cap = spill_cap;
    if (channels) {
        hold_use_kinds(hold);
    }
    relay_state state{source, relay_buffer, child_input, {}, hold, streaming, channels};
    state.pipes[0] = {child_output, kind_output};
    state.pipes[1] = {child_error, kind_error};
    state.reader.kinds = channels;
    state.window.on = flow_control;
    state.window.credit = first_credit;
    if (channels && control_group_wanted() && !command_in_control_group()) {
        static const char fallback[] =
            "brindock: no control group could be had here; the command's process tree is "
            "contained instead\n";
        tell_controller(state, fallback, sizeof fallback - 1);
    }
    run_relay(state);
    if (tied) {
        return end_tied();
    }
    reap_ended_command();
    return 0;
}
