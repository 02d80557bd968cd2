// Runs the real brindock binary as a controller would: real pipes on its
// standard descriptors, the controller's writes fed in as the relay takes them,
// its output and error collected to the end, and a deadline after which the
// relay is killed so that no test can hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brindock_test {

// What the relay's standard input is. The message kinds carry each of the
// controller's writes as one message (a pipe in packet mode cuts writes larger
// than its atomic size into several).
enum class input_channel { pipe, stream_socket, seqpacket_socket, datagram_socket, packet_pipe };

struct relay_request {
    std::vector<std::string> args;    // arguments after the program name
    std::vector<std::string> writes;  // the controller's writes, in order
    // Wait until the relay has taken each write before making the next, so
    // that its reads see the pieces apart.
    bool drain_between_writes = false;
    bool close_input = true;  // close the controller's end after the writes
    bool ignore_sigpipe = false;
    bool nonblocking = false;  // hand over non-blocking standard input and output
    input_channel input = input_channel::pipe;
    // Keeps the relay's end of its input, so that what it left unread is
    // given back in relay_result::unread_input.
    bool read_back_input = false;
    bool wait_for_stderr_end = true;
    int descriptor_limit = 0;  // RLIMIT_NOFILE for the relay when above 0
    // Closes the controller's reading end after this many output bytes; -1 never.
    long close_output_after = -1;
    // As a language runtime's packet channel does: at its first failed write
    // the controller closes both ends and drops whatever it had read.
    bool give_up_at_failed_write = false;
    bool read_after_writing = false;  // read nothing until every write is made
    // A controller with gaps: each write, the first included, is made only
    // this long after the one before (after the start, for the first).
    std::chrono::milliseconds pause_before_each_write{0};
    bool output_terminal = false;  // standard output a raw pseudo-terminal, not a pipe
    // A conversation: write i is made only once this many payload bytes in
    // all have come back (no entry: at once), so each request waits for the
    // answer to the one before.
    std::vector<std::size_t> output_before_write;
    // Channel mode: payload counts without each packet's kind byte.
    bool channel_packets = false;
    // The controller answers each whole packet it reads with what this
    // returns for its body (a window packet, say): once every write is made,
    // or, with answers_between_writes, between any two writes as well. The
    // input is closed once the relay's output has ended.
    std::function<std::string(std::string_view body)> answer_packet;
    bool answers_between_writes = false;
    // Never reads the relay's standard error, which fills and stays full.
    bool leave_error_unread = false;
    // Holds the controller's reads of the relay's output back until this returns
    // true. It is asked again and again, with the number of bytes waiting in the
    // output pipe and the standard error so far.
    std::function<bool(int unread_output, const std::string& err)> hold_output_until;
    // Runs in the forked process just before exec; async-signal-safe calls only.
    std::function<void()> before_exec;
    std::string binary;  // empty: the brindock under test
    std::chrono::milliseconds deadline{30000};
};

struct relay_result {
    std::string out;
    std::string err;
    int wait_status = 0;
    bool finished = false;  // false: the deadline passed and the relay was killed
    pid_t pid = -1;
    int input_error = 0;              // errno of the controller's write that failed; 0 if none did
    bool output_ended_first = false;  // the output's end came while the relay still ran
    std::string
        unread_input;  // with read_back_input: what the relay left, then what was never written
    std::vector<std::size_t> output_at_write;  // out.size() as each write began
    long peak_kib = 0;                         // the relay's peak resident memory

    bool exited_with(int code) const;
    bool killed_by(int signal_number) const;
};

relay_result run_relay(const relay_request& request);

// Makes `bytes` the relay's standard input as a regular file, read from its
// start. Returns the file, which the caller closes after the run, or -1.
int give_file_input(relay_request& request, const std::string& bytes);

// run_relay on one command and the controller's writes, with everything else
// as relay_request has it; `binary` empty means the brindock under test.
relay_result run_command(const std::string& command, std::vector<std::string> writes,
                         const std::string& binary = "");

// The relays under test: this build's, or those of the build that
// BRINDOCK_TEST_RELAY names, "EMULATOR [ARG...] /path/to/brindock" (words apart
// by spaces), with tests/brindock_small_hold beside that brindock. A relay is
// then always started with the emulator's words in front: run_relay does so,
// and a test that has another program start one uses relay_command.
std::string relay_binary();
std::string small_hold_binary();
bool under_emulation();
// The words that start `binary`, the emulator's first where it is a relay
// under test; and the same joined by spaces, for a shell's command line.
std::vector<std::string> relay_command(const std::string& binary);
std::string relay_command_line(const std::string& binary);

// Skips the calling test under emulation, saying why: for cases that the
// emulator itself defeats, not the relay.
#define SKIP_UNDER_EMULATION(reason)        \
    if (::brindock_test::under_emulation()) \
    GTEST_SKIP() << "under emulation: " << (reason)

// Sets an environment variable in the test process (or, with a null value,
// unsets it), which every relay started meanwhile inherits, for as long as it
// lives; then puts back what was there.
struct scoped_variable {
    scoped_variable(const char* name, const char* value);
    ~scoped_variable();
    scoped_variable(const scoped_variable&) = delete;
    scoped_variable& operator=(const scoped_variable&) = delete;
    const char* name;
    bool was_set = false;
    std::string previous;
};

// Relays are started with BRINDOCK_NO_CONTROL_GROUP=1 unless a test lifts it
// (with this, while it lives): whether a machine lets a relay have a control
// group must not change what channel mode says, which tests check to the byte.
// The tests of control groups themselves lift it, and skip where there are none.
struct control_groups_allowed : scoped_variable {
    control_groups_allowed() : scoped_variable("BRINDOCK_NO_CONTROL_GROUP", nullptr) {}
};
void ask_for_no_control_groups();

// One packet: the 4-byte big-endian length, then the body.
std::string packet(std::string_view body);
inline const std::string end_of_input{"\0\0\0\0", 4};

// The packets of a relay's output, in order. Fails the calling test (and
// returns what it could parse) when the stream is not whole packets of 1 to
// 65532 payload bytes.
std::vector<std::string> split_packets(std::string_view stream);
std::string join(const std::vector<std::string>& pieces);

// Channel mode: one packet of the controller's, its kind byte first; and the
// relay's packets taken apart, kind and payload.
std::string channel_packet(char kind, std::string_view payload = {});
struct kind_and_payload {
    int kind;
    std::string payload;
};
std::vector<kind_and_payload> split_channel(std::string_view stream);
// The payloads of one kind, joined.
std::string joined_kind(const std::vector<kind_and_payload>& packets, int kind);

// A reproducible byte pattern of `length` bytes.
std::string pattern_bytes(std::size_t length, std::uint32_t seed);

// Processes that a relay leaves behind (its command once the relay has ended,
// whatever the command put in the background) are reparented to the test
// process once it has called adopt_orphans(), so that a test can check whether
// they ended and make sure none outlives it.
void adopt_orphans();

struct orphan {
    pid_t pid = -1;
    bool was_running = false;  // it had not ended by itself and was killed
    int wait_status = 0;
};

// Reaps every adopted orphan: waits up to `grace` in all for those still
// running to end by themselves, then kills and reaps the rest.
std::vector<orphan> collect_orphans(std::chrono::milliseconds grace = std::chrono::milliseconds{0});

}  // namespace brindock_test
