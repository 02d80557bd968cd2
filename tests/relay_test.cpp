// The real brindock, driven through real pipes with real shell commands.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

TEST(Usage, AnyArgumentCountButOneGetsTheUsageTextAndStatusZero)
{
    const std::vector<std::vector<std::string>> wrong_counts = {
        {}, {"cat", "extra"}, {"a", "b", "c"}};
    for (const auto& args : wrong_counts) {
        relay_request request;
        request.args = args;
        request.writes = {packet("ignored")};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << args.size();
        EXPECT_EQ(r.err, "brindock \"cmd\"\r\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(Usage, HelpAndVersionAnswerOnStandardOutputAndLaunchNothing)
{
    const struct {
        const char* argument;
        std::string first_line;
    } cases[] = {{"--help", "usage: brindock \"cmd\""},
                 {"-h", "usage: brindock \"cmd\""},
                 {"--version", "brindock " BRINDOCK_VERSION}};
    for (const auto& c : cases) {
        relay_request request;
        request.args = {c.argument};
        request.writes = {packet("ignored"), end_of_input};
        request.read_back_input = true;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << c.argument;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.first_line);
        EXPECT_EQ(r.err, "") << c.argument;
        EXPECT_EQ(r.unread_input, packet("ignored") + end_of_input) << c.argument;
    }
}

TEST(Exchange, BodiesReachTheCommandJoinedAndItsOutputComesBackFramed)
{
    const relay_result r = run_command("tr a-z A-Z", {packet("ab"), packet("cd"), end_of_input});
    ASSERT_TRUE(r.exited_with(0));
    EXPECT_EQ(join(split_packets(r.out)), "ABCD");
}

TEST(Exchange, TrailingOutputIsNeverLostWhenTheCommandEndsAtItsEndOfInput)
{
    for (int run = 0; run < 300; ++run) {
        const relay_result r = run_command("tr a-z A-Z", {packet("hello"), end_of_input});
        ASSERT_TRUE(r.exited_with(0)) << "run " << run;
        ASSERT_EQ(r.out, packet("HELLO")) << "run " << run;
    }
}

// Runs `command` on `writes` and returns the payloads joined, failing the test
// unless the relay ended with status 0 and its output was whole packets.
std::string joined_output(const std::string& command, std::vector<std::string> writes)
{
    const relay_result r = run_command(command, std::move(writes));
    EXPECT_TRUE(r.exited_with(0)) << command;
    return join(split_packets(r.out));
}

std::vector<std::string> packets_then_end(const std::vector<std::string>& bodies)
{
    std::vector<std::string> writes;
    for (const std::string& body : bodies) {
        writes.push_back(packet(body));
    }
    writes.push_back(end_of_input);
    return writes;
}

TEST(Exchange, StepByStepExchangeGivesExactBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"cat >/dev/null; printf 'hi\\n'", std::string("\0\0\0\3hi\n", 7)},
        {"cat", std::string("\0\0\0\6brin!\n", 10)},
    };
    for (const auto& [command, expected] : cases) {
        relay_request request;
        request.args = {command};
        request.writes = {std::string("\0\0\0\6", 4), "brin!\n", end_of_input};
        request.drain_between_writes = true;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << command;
        EXPECT_EQ(r.out, expected) << command;
        EXPECT_EQ(r.err, "") << command;
    }
}

TEST(Exchange, CommandSeesOneStreamWhateverThePacketSizes)
{
    const std::vector<std::size_t> sizes = {1, 7, 1, 65536, 65537, 1, 200000, 1024, 1};
    std::vector<std::string> mixed;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        mixed.push_back(pattern_bytes(sizes[i], static_cast<std::uint32_t>(i)));
    }
    const std::vector<std::string> one_big = {pattern_bytes(200000, 99)};
    const std::vector<std::string> across = {"hel", "lo wor", "l", "d\n"};
    const struct {
        std::string command;
        const std::vector<std::string>& bodies;
        std::string expected;
    } cases[] = {
        {"cat", mixed, join(mixed)},
        {"wc -c", mixed, std::to_string(join(mixed).size()) + "\n"},
        {"cat", one_big, one_big[0]},
        {"wc -c", one_big, "200000\n"},
        {"sed s/hello/HI/", across, "HI world\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(joined_output(c.command, packets_then_end(c.bodies)), c.expected) << c.command;
    }
}

TEST(Exchange, InputEndingWithoutEndOfInputClosesTheCommandsInput)
{
    const std::string unending_body = std::string("\xFF\xFF\xFF\xFF", 4) + pattern_bytes(100000, 4);
    const struct {
        std::string command;
        std::vector<std::string> writes;
        std::string expected;
    } cases[] = {
        {"cat", {packet("abc"), packet("de")}, "abcde"},
        {"wc -c", {packet("abc"), packet("de")}, "5\n"},
        {"cat", {packet("abc"), std::string("\0\0", 2)}, "abc"},
        // The relay sets out to read 2^32-1 bytes; the end of its input ends the body.
        {"cat", {unending_body}, unending_body.substr(4)},
        {"wc -c", {unending_body}, "100000\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(joined_output(c.command, c.writes), c.expected) << c.command;
    }
}

TEST(Exchange, NothingAfterTheEndOfInputPacketIsRead)
{
    // A pipe of the test's own as the relay's input, so that what it left
    // unread can be read back afterwards.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const std::string late = packet("late") + packet("later") + end_of_input;
    const std::string sent = end_of_input + late;
    ASSERT_EQ(write(ends[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    close(ends[1]);
    relay_request request;
    request.args = {"wc -c"};
    const int input = ends[0];
    request.before_exec = [input] { dup2(input, STDIN_FILENO); };
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0));
    EXPECT_EQ(r.out, packet("0\n"));
    std::string unread(sent.size(), '\0');
    const ssize_t got = read(ends[0], unread.data(), unread.size());
    close(ends[0]);
    EXPECT_EQ(unread.substr(0, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), late);

    // More than a pipe holds after the end-of-input packet: the controller's
    // writes fail once the relay has closed its input, which the command sees
    // happen while the relay still runs.
    relay_request flood;
    flood.args = {"wc -c; while [ -e /proc/$PPID/fd/0 ]; do :; done; echo closed"};
    flood.writes = {end_of_input + std::string(1 << 20, 'x')};
    flood.deadline = std::chrono::milliseconds{10000};
    const relay_result f = run_relay(flood);
    EXPECT_TRUE(f.exited_with(0));
    EXPECT_EQ(join(split_packets(f.out)), "0\nclosed\n");
    EXPECT_EQ(f.input_error, EPIPE);

    // A command that ends early leaves the rest of its packets to the relay,
    // which takes them up to the end-of-input packet: a file given on to
    // another reader is read from just after it.
    relay_request early;
    early.args = {"head -c 2"};
    std::string packets;
    for (int i = 0; i < 8; ++i) {
        packets += packet(std::string(65536, 'y'));
    }
    packets += end_of_input;
    const int file = give_file_input(early, packets + late);
    const relay_result e = run_relay(early);
    EXPECT_TRUE(e.exited_with(0));
    EXPECT_EQ(e.out, packet("yy"));
    EXPECT_EQ(lseek(file, 0, SEEK_CUR), static_cast<off_t>(packets.size()));
    close(file);

    // The command ends while the batch that holds the end-of-input packet is
    // still being fed to it: the relay stops after that packet all the same,
    // from a pipe, a socket or a file.
    const std::string fed = packet(std::string(70000, 'z')) + end_of_input;
    for (const input_channel channel : {input_channel::pipe, input_channel::stream_socket}) {
        relay_request cut;
        cut.args = {"head -c 1"};
        cut.writes = {fed + late};
        cut.input = channel;
        cut.read_back_input = true;
        const relay_result c = run_relay(cut);
        EXPECT_TRUE(c.exited_with(0));
        EXPECT_EQ(c.out, packet("z"));
        EXPECT_EQ(c.unread_input, late);
    }
    relay_request cut;
    cut.args = {"head -c 1"};
    const int cut_file = give_file_input(cut, fed + late);
    EXPECT_EQ(run_relay(cut).out, packet("z"));
    EXPECT_EQ(lseek(cut_file, 0, SEEK_CUR), static_cast<off_t>(fed.size()));
    close(cut_file);
}

TEST(Exchange, MessagesAreTakenInWholeWhateverPacketsTheyHold)
{
    // Each write is one message: packets alone, several in one message, one
    // cut across two, one larger than the relay's buffer, and the end-of-input
    // packet with more after it in the same message.
    const std::string large = pattern_bytes(100000, 3);
    const std::string cut = packet("cut across");
    const std::vector<std::string> writes = {
        packet("hello"),  packet("wor") + packet("ld"),
        cut.substr(0, 6), cut.substr(6),
        packet(large),    packet("!") + end_of_input + packet("dropped")};
    for (const input_channel channel :
         {input_channel::seqpacket_socket, input_channel::datagram_socket,
          input_channel::packet_pipe}) {
        SCOPED_TRACE(static_cast<int>(channel));
        relay_request request;
        request.args = {"cat"};
        request.writes = writes;
        request.input = channel;
        request.deadline = std::chrono::milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_TRUE(join(split_packets(r.out)) == "helloworldcut across" + large + "!");
    }
}

TEST(Exchange, StatusIsZeroWhateverTheCommandDoes)
{
    for (const char* command : {"cat; exit 7", "cat; false"}) {
        const relay_result r = run_command(command, {packet("x"), end_of_input});
        EXPECT_TRUE(r.exited_with(0)) << command;
        EXPECT_EQ(r.out, packet("x")) << command;
    }
    // A command that ends at once ends the relay before any input comes.
    for (const char* command : {"", "exit 7", "false"}) {
        relay_request request;
        request.args = {command};
        request.close_input = false;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << command;
        EXPECT_EQ(r.out, "") << command;
    }
}

TEST(Exchange, HeadersArrivingInPiecesAreJoined)
{
    const std::string bodies[] = {"one", pattern_bytes(1500, 1), pattern_bytes(70000, 2)};
    relay_request request;
    request.args = {"cat"};
    for (std::size_t split = 1; split <= 3; ++split) {
        const std::string framed = packet(bodies[split - 1]);
        request.writes.push_back(framed.substr(0, split));
        request.writes.push_back(framed.substr(split));
    }
    request.writes.push_back(end_of_input.substr(0, 2));
    request.writes.push_back(end_of_input.substr(2));
    request.drain_between_writes = true;
    // Input left open: only the end-of-input packet, itself split, ends it.
    request.close_input = false;
    request.deadline = std::chrono::milliseconds{10000};
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0));
    EXPECT_EQ(join(split_packets(r.out)), bodies[0] + bodies[1] + bodies[2]);
}

TEST(Exchange, CommandStringReachesTheShellWholeAndStderrPassesUntouched)
{
    const struct {
        std::string command, input, out, err;
    } cases[] = {
        {"printf 'to\\000err\\r\\n' >&2; cat", "x", "x", std::string("to\0err\r\n", 8)},
        {"line=$(cat); printf '%s|' \"a b\" 'c  d' \"$line\"", "it's \"q\"", "a b|c  d|it's \"q\"|",
         ""},
        {"tr a-z A-Z | rev | sed 's/C B/[&]/' 2>/dev/null", "ab cd\n", "D[C B]A\n", ""},
        {"tr a-z A-Z >&2 && echo \"done; ok\"", "ab", "done; ok\n", "AB"},
    };
    for (const auto& c : cases) {
        const relay_result r = run_command(c.command, {packet(c.input), end_of_input});
        EXPECT_TRUE(r.exited_with(0)) << c.command;
        EXPECT_EQ(join(split_packets(r.out)), c.out) << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

TEST(Settings, ValuesNotUnderstoodAndUnknownVariablesAreSaidAndNoneReachesTheCommand)
{
    // Each value just past its range, or no number at all; a misspelt switch.
    const scoped_variable grace("BRINDOCK_GRACE_MS", "3s");
    const scoped_variable quiet("BRINDOCK_QUIET_MS", "86400001");
    const scoped_variable memory("BRINDOCK_HOLD_MEMORY", "4095");
    const scoped_variable misspelt("BRINDOCK_STRAEM", "1");
    const control_groups_allowed untouched;
    relay_request request;
    request.args = {"env | grep ^BRINDOCK_; cat"};
    request.writes = {packet("x"), end_of_input};
    request.binary = small_hold_binary();
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
    EXPECT_EQ(join(split_packets(r.out)), "x");
    // The hold's bound is 2^40 bytes, or what a relay built for 32 bits can count.
    const std::string most_hold =
        r.err.find("to 4294967295\n") != std::string::npos ? "4294967295" : "1099511627776";
    EXPECT_EQ(r.err, "brindock: BRINDOCK_GRACE_MS=3s not understood, " +
                         std::to_string(BRINDOCK_TIED_GRACE_MS) +
                         " kept; milliseconds from 100 to 86400000\n"
                         "brindock: BRINDOCK_QUIET_MS=86400001 not understood, " +
                         std::to_string(BRINDOCK_QUIET_MS) +
                         " kept; milliseconds from 0 to 86400000\n"
                         "brindock: BRINDOCK_HOLD_MEMORY=4095 not understood, 65536 kept; bytes "
                         "from 4096 to " +
                         most_hold +
                         "\n"
                         "brindock: BRINDOCK_STRAEM unknown, ignored\n");
}

TEST(Settings, TheQuietTimeSetAtRunTimeKeepsTheRelayWaitingForTheEndOfInput)
{
    // The command ends at once; the end-of-input packet comes after a pause
    // longer than the build's quiet time, which would have given up on it.
    const scoped_variable quiet("BRINDOCK_QUIET_MS", "86400000");
    relay_request request;
    request.args = {"true"};
    request.writes = {end_of_input};
    request.pause_before_each_write = std::chrono::milliseconds{BRINDOCK_QUIET_MS + 500};
    request.read_back_input = true;
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
    EXPECT_EQ(r.unread_input, "");
}

}  // namespace
