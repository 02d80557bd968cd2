// Terminal mode (BRINDOCK_PTY): the command on a pseudo-terminal, its output
// still exactly what it wrote, in every mode, to the last byte; with "all"
// its input on the terminal too, ended by the terminal's end of file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

std::string every_byte_value(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) % 256);
    }
    return bytes;
}

// A conversation: each line is sent only once the answer to the one before
// has come back, which a command whose output waits in a buffer never gives.
relay_result converse(const std::string& command, const std::vector<std::string>& lines,
                      const std::vector<std::string>& answers)
{
    relay_request request;
    request.args = {command};
    std::size_t answered = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        request.writes.push_back(packet(lines[i]));
        request.output_before_write.push_back(answered);
        answered += answers[i].size();
    }
    request.writes.push_back(end_of_input);
    request.output_before_write.push_back(answered);
    request.deadline = std::chrono::milliseconds{20000};
    return run_relay(request);
}

TEST(Terminal, OutputIsExactlyWhatTheCommandWroteOnItsTerminal)
{
    const scoped_variable terminal("BRINDOCK_PTY", "1");
    const std::string bytes = every_byte_value(std::size_t{1} << 20);
    for (const char* stream : {"0", "1"}) {
        const scoped_variable mode("BRINDOCK_STREAM", stream);
        const relay_result r = run_command("cat", {packet(bytes), end_of_input});
        EXPECT_TRUE(r.exited_with(0)) << stream;
        EXPECT_TRUE(join(split_packets(r.out)) == bytes) << stream;
    }
    const scoped_variable size("BRINDOCK_PTY_SIZE", "40x120");
    const relay_result r = run_command(
        "[ -t 1 ] && [ -t 2 ] && ! [ -t 0 ] && : </dev/tty && printf 'a\\nb\\r\\nc' &&"
        " echo e >&2; stty size </dev/tty; echo \"${BRINDOCK_PTY-}${BRINDOCK_PTY_SIZE-}\"",
        {end_of_input});
    EXPECT_EQ(join(split_packets(r.out)), "a\nb\r\nce\n40 120\n\n");
    EXPECT_EQ(r.err, "");
    // A value not understood leaves the terminal off, and says so.
    const scoped_variable wrong("BRINDOCK_PTY", "yes");
    const relay_result off = run_command("[ -t 1 ] || echo pipe", {end_of_input});
    EXPECT_EQ(join(split_packets(off.out)), "pipe\n");
    EXPECT_NE(off.err.find("BRINDOCK_PTY=yes not understood"), std::string::npos) << off.err;
}

TEST(Terminal, NothingTheCommandWroteBeforeItsEndIsLost)
{
    const scoped_variable terminal("BRINDOCK_PTY", "1");
    const std::string tail(100000, 'x');
    for (int run = 0; run < 40; ++run) {
        const scoped_variable mode("BRINDOCK_STREAM", run % 2 == 0 ? "1" : "0");
        const relay_result r =
            run_command("head -c 100000 /dev/zero | tr '\\0' x; printf end", {end_of_input});
        ASSERT_TRUE(r.exited_with(0));
        ASSERT_TRUE(join(split_packets(r.out)) == tail + "end") << run;
    }
    // What the command leaves behind on its terminal does not keep the relay.
    adopt_orphans();
    relay_request request;
    request.args = {"trap '' HUP; sleep 60 & echo now"};
    request.writes = {end_of_input};
    request.deadline = std::chrono::milliseconds{20000};
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(join(split_packets(r.out)), "now\n");
    collect_orphans();
}

TEST(Terminal, ProgramsThatBufferForAPipeAnswerEachLineAtOnce)
{
    const scoped_variable terminal("BRINDOCK_PTY", "1");
    const scoped_variable stream("BRINDOCK_STREAM", "1");
    const scoped_variable unbuffered("PYTHONUNBUFFERED", "1");
    const std::vector<std::string> lines = {"one\n", "two\n", "three\n"};
    const std::vector<std::string> upper = {"ONE\n", "TWO\n", "THREE\n"};
    const relay_result python = converse(
        "env -u PYTHONUNBUFFERED python3 -c 'import sys\n"
        "for line in sys.stdin: print(line.upper(), end=\"\")'",
        lines, upper);
    EXPECT_TRUE(python.finished);
    EXPECT_EQ(join(split_packets(python.out)), "ONE\nTWO\nTHREE\n");
    const relay_result grep = converse("grep -v x", lines, lines);
    EXPECT_TRUE(grep.finished);
    EXPECT_EQ(join(split_packets(grep.out)), "one\ntwo\nthree\n");
}

TEST(Terminal, TiedAndChannelModesKeepTheirStatusKindsAndOrder)
{
    const scoped_variable terminal("BRINDOCK_PTY", "1");
    {
        const scoped_variable tied("BRINDOCK_TIED", "1");
        const relay_result r = run_command("echo hi; exit 3", {end_of_input});
        EXPECT_TRUE(r.exited_with(3)) << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), "hi\n");
    }
    // Standard error keeps its pipe; the trap sees the new size.
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    relay_request request;
    request.args = {
        "trap 'stty size </dev/tty' WINCH; echo err >&2; stty size </dev/tty; read x; exit 2"};
    request.writes = {channel_packet(4, std::string("\0\36\0\144", 4)), channel_packet(4, "abc"),
                      channel_packet(0, "go\n"), channel_packet(1)};
    request.output_before_write = {10, 10, 10, 10};  // the size once the trap is set
    request.channel_packets = true;
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(2)) << r.wait_status;
    const std::vector<kind_and_payload> packets = split_channel(r.out);
    EXPECT_EQ(joined_kind(packets, 0), "24 80\n30 100\n");
    EXPECT_EQ(joined_kind(packets, 1), "err\n");
    EXPECT_EQ(joined_kind(packets, 3),
              "brindock: window size packet whose payload is not 4 bytes but 3; dropped\n");
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back().kind, 2);
    EXPECT_EQ(packets.back().payload, std::string("\0\2", 2));
}

TEST(Terminal, AllPutsInputOnTheTerminalAndEndsItWithItsEndOfFile)
{
    const scoped_variable terminal("BRINDOCK_PTY", "all");
    const std::string lines = "a\tb\r\n\001c\n\n" + std::string(4000, 'l') + "\n";
    const relay_result cat = run_command(
        "[ -t 0 ] && cat", {packet(lines.substr(0, 7)), packet(lines.substr(7)), end_of_input});
    EXPECT_TRUE(cat.exited_with(0));
    EXPECT_EQ(join(split_packets(cat.out)), lines);
    // The end of input reaches a reader already waiting, and one after a
    // partial line, which it gets as it is.
    const std::string reading = "while read l; do echo \"[$l]\"; done; echo \"end $l\"";
    const relay_result waiting = [&] {
        const scoped_variable stream("BRINDOCK_STREAM", "1");
        return converse(reading, {"x\n"}, {"[x]\n"});
    }();
    EXPECT_EQ(join(split_packets(waiting.out)), "[x]\nend \n");
    const relay_result partial = run_command(reading, {packet("x\ny"), end_of_input});
    EXPECT_EQ(join(split_packets(partial.out)), "[x]\nend y\n");
}

}  // namespace
