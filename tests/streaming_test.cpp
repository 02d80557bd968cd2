// Streaming through the real brindock: megabytes each way, commands that write
// before they read, the output hold at its bounds and in its spill file,
// stream mode, where output comes back while input still flows, and channel
// mode, where packets carry a kind: standard error, the exit, signals and
// flow control.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

// `total` bytes of pattern in packets from 1 byte to ~200 KiB, small ones
// often, the same every run; then the end-of-input packet.
std::vector<std::string> uneven_packets(std::size_t total, std::uint32_t seed, std::string& input)
{
    input = pattern_bytes(total, seed);
    std::vector<std::string> writes;
    std::uint32_t state = seed;
    for (std::size_t offset = 0; offset < total;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t bound = (state >> 28) < 5 ? 16 : 200 * 1024;
        const std::size_t size = std::min<std::size_t>(1 + (state >> 8) % bound, total - offset);
        writes.push_back(packet(std::string_view(input).substr(offset, size)));
        offset += size;
    }
    writes.push_back(end_of_input);
    return writes;
}

TEST(Streaming, MegabytesComeBackWholeAndInOrder)
{
    const struct {
        std::string command;
        std::size_t input_size;
        std::string before, after;  // what the command adds around its input
    } cases[] = {
        {"cat", std::size_t{8} << 20, "", ""},
        // Writes a megabyte before reading anything: only the hold lets its
        // input through.
        {"head -c 1000000 /dev/zero; cat", std::size_t{3} << 20, std::string(1000000, '\0'), ""},
        // Output held across the end-of-input packet keeps its place.
        {"cat; printf END", std::size_t{2} << 20, "", "END"},
    };
    std::uint32_t seed = 1;
    for (const auto& c : cases) {
        std::string input;
        const relay_result r = run_command(c.command, uneven_packets(c.input_size, seed++, input));
        ASSERT_TRUE(r.exited_with(0)) << c.command;
        EXPECT_TRUE(join(split_packets(r.out)) == c.before + input + c.after) << c.command;
    }
}

TEST(Streaming, LargeOutputComesBackInPacketsThatJoinExactly)
{
    std::string expected;
    while (expected.size() < 1000000) {
        expected += "abcdefghij\n";
    }
    expected.resize(1000000);
    // Reading its input to the end first or last, the command's output is made
    // while the relay holds it or while it forwards it.
    for (const char* command : {"yes abcdefghij | head -c 1000000; cat >/dev/null",
                                "cat >/dev/null; yes abcdefghij | head -c 1000000"}) {
        const relay_result r = run_command(command, {end_of_input});
        ASSERT_TRUE(r.exited_with(0)) << command;
        const std::vector<std::string> packets = split_packets(r.out);
        EXPECT_GE(packets.size(), 16u) << command;
        EXPECT_TRUE(join(packets) == expected) << command;
    }
}

TEST(Streaming, FullHoldEndsTheInputSayingSoAndForwardsEverything)
{
    // 64 KiB pipes, and a hold of 64 KiB of memory, a 2 MiB staging block and
    // 4 MiB of spill file. The second command writes far more than the hold
    // takes in the time its input flows, which waits in its pipe for the
    // output phase; its input must fit in the pipe to it (pieces of at most
    // 1024 bytes fill 16 pages to at least 48 KiB), or the hold would fill.
    {
        std::string input;
        const relay_result r = run_command("head -c 3000000 /dev/zero; cat",
                                           uneven_packets(40000, 7, input), small_hold_binary());
        ASSERT_TRUE(r.exited_with(0));
        EXPECT_TRUE(join(split_packets(r.out)) == std::string(3000000, '\0') + input);
        EXPECT_EQ(r.err, "");
    }
    // Everything that streams through cat once the hold is full would wait
    // for ever: the command's input ends there, the rest of the controller's
    // is dropped, and it learns that from one line on standard error.
    std::string input;
    const relay_result r =
        run_command("cat", uneven_packets(16 << 20, 8, input), small_hold_binary());
    ASSERT_TRUE(r.exited_with(0)) << r.wait_status;
    const std::string got = join(split_packets(r.out));
    EXPECT_GT(got.size(), std::size_t{6} << 20);
    EXPECT_LT(got.size(), input.size());
    EXPECT_TRUE(input.starts_with(got));
    EXPECT_EQ(r.input_error, 0);
    EXPECT_TRUE(r.err.starts_with("brindock: output hold full, ") &&
                r.err.ends_with(" bytes held; the rest of the input is dropped\n") &&
                std::count(r.err.begin(), r.err.end(), '\n') == 1)
        << r.err;
}

// The directory of the one deleted file among descriptor targets, one a line.
std::string spill_dir(const std::string& targets)
{
    std::istringstream lines(targets);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with(" (deleted)")) {
            return line.substr(0, line.rfind('/'));
        }
    }
    return "";
}

TEST(Streaming, SpilledOutputComesBackExactAndLeavesNoFileHoweverTheRelayEnds)
{
    // 3 MiB through the small hold: 64 KiB in memory, the rest through the
    // staging block into the spill file. Once most of it is held, the command
    // lists the relay's descriptors while input still flows, then goes on.
    char made[] = "/tmp/brindock-spill-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string dir = made;
    const char* inherited = std::getenv("TMPDIR");
    const std::string saved = inherited != nullptr ? inherited : "";
    const struct {
        const char* name;
        std::string tmpdir, then, spilled_in;
    } cases[] = {
        {"ends", dir, "cat", dir},
        {"killed", dir, "kill -9 $PPID", dir},
        // /var/tmp is on disk where /tmp may be in memory.
        {"TMPDIR missing", dir + "/missing", "cat", "/var/tmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setenv("TMPDIR", c.tmpdir.c_str(), 1);
        std::string input;
        const relay_result r =
            run_command("head -c 3000000; readlink /proc/$PPID/fd/* >&2; " + c.then,
                        uneven_packets(3 << 20, 9, input), small_hold_binary());
        if (c.then == "cat") {
            EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
            EXPECT_TRUE(join(split_packets(r.out)) == input);
        } else {
            EXPECT_TRUE(r.killed_by(SIGKILL)) << r.wait_status;
        }
        EXPECT_EQ(spill_dir(r.err), c.spilled_in) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
    // The full-size hold spills as early when its memory is set at run time.
    {
        const scoped_variable memory("BRINDOCK_HOLD_MEMORY", "65536");
        setenv("TMPDIR", dir.c_str(), 1);
        std::string input;
        const relay_result r = run_command("head -c 3000000; readlink /proc/$PPID/fd/* >&2; cat",
                                           uneven_packets(3 << 20, 9, input));
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_TRUE(join(split_packets(r.out)) == input);
        EXPECT_EQ(spill_dir(r.err), dir) << r.err;
    }
    if (inherited != nullptr) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    std::filesystem::remove_all(dir);
}

TEST(Streaming, LimitsOnFileSizeAndMemoryStillBringEveryByteBack)
{
    // Past the file size limit a write would raise SIGXFSZ; with no memory to
    // map, output goes to the spill file through a small fallback block.
    struct limited_case {
        const char* name;
        std::string binary;
        int resource;
        rlim_t limit;
    };
    std::vector<limited_case> cases = {
        {"file size", small_hold_binary(), RLIMIT_FSIZE, rlim_t{1} << 20}};
    // The sanitizers reserve terabytes of address space, and a relay that
    // loads the C library needs more than this; so does the emulator.
    if (BRINDOCK_RELAY_IS_STATIC && !under_emulation()) {
        cases.push_back({"address space", relay_binary(), RLIMIT_AS, rlim_t{4} << 20});
    }
    for (const limited_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string input;
        relay_request request;
        request.args = {"cat"};
        request.binary = c.binary;
        request.writes = uneven_packets(std::size_t{5} << 19, 10, input);
        request.before_exec = [resource = c.resource, limit = c.limit] {
            const struct rlimit lowered {
                limit, RLIM_INFINITY
            };
            setrlimit(resource, &lowered);
        };
        const relay_result r = run_relay(request);
        ASSERT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_TRUE(join(split_packets(r.out)) == input);
    }
}

TEST(Streaming, TrailingOutputOfAFastExitingFilterIsNeverLost)
{
    std::string text, upper, first_a_replaced;
    while (text.size() < 4000) {
        text += "banana and apple\n";
        upper += "BANANA AND APPLE\n";
        first_a_replaced += "bbnana and apple\n";
    }
    for (int run = 0; run < 120; ++run) {
        for (const auto& [command, expected] :
             {std::pair{"tr a-z A-Z", &upper}, std::pair{"sed s/a/b/", &first_a_replaced}}) {
            const relay_result r = run_command(command, {packet(text), end_of_input});
            ASSERT_TRUE(r.exited_with(0)) << command << " run " << run;
            ASSERT_EQ(join(split_packets(r.out)), *expected) << command << " run " << run;
        }
    }
}

// Requests of one line each, and the conversation that asks them one at a
// time: each waits until the answers to all before it are back.
std::string converse(relay_request& request, std::size_t requests, const std::string& prefix)
{
    std::string expected;
    for (std::size_t i = 0; i < requests; ++i) {
        const std::string line = "request " + std::to_string(i) + "\n";
        request.output_before_write.push_back(expected.size());
        request.writes.push_back(packet(line));
        expected += prefix + line;
    }
    request.output_before_write.push_back(expected.size());
    request.writes.push_back(end_of_input);
    request.deadline = std::chrono::milliseconds{60000};
    return expected;
}

TEST(StreamMode, EachAnswerComesBackBeforeTheNextRequest)
{
    const scoped_variable stream("BRINDOCK_STREAM", "1");
    for (const auto& [command, prefix] :
         {std::pair{"cat", ""}, std::pair{"while read -r l; do echo \"got $l\"; done", "got "}}) {
        relay_request request;
        request.args = {command};
        const std::string expected = converse(request, 300, prefix);
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << command << " " << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), expected) << command;
    }
    // Tied as well: then the command's status.
    const scoped_variable tied("BRINDOCK_TIED", "1");
    relay_request request;
    request.args = {"cat; exit 5"};
    const std::string expected = converse(request, 50, "");
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(5)) << r.wait_status;
    EXPECT_EQ(join(split_packets(r.out)), expected);
}

TEST(StreamMode, OutputNeverWaitsForInputNorInputForTheController)
{
    const scoped_variable stream("BRINDOCK_STREAM", "1");
    // Megabytes, and the variable's absence, come back before any input is sent.
    relay_request before_input;
    before_input.args = {"head -c 3000000 /dev/zero; echo ${BRINDOCK_STREAM-unset}; cat"};
    before_input.writes = {packet("x"), end_of_input};
    before_input.output_before_write = {3000006};
    const relay_result early = run_relay(before_input);
    EXPECT_TRUE(early.exited_with(0));
    EXPECT_TRUE(join(split_packets(early.out)) == std::string(3000000, '\0') + "unset\nx");
    // A controller that reads nothing until it has written everything: its
    // writes go through, and every byte comes back in order afterwards. In
    // the small hold, output also goes through the spill file while it is
    // being sent, in both cases.
    for (const auto& [binary, size] : {std::pair{relay_binary(), std::size_t{8} << 20},
                                       std::pair{small_hold_binary(), std::size_t{5} << 20}}) {
        std::string input;
        relay_request late_reader;
        late_reader.args = {"cat"};
        late_reader.writes = uneven_packets(size, 9, input);
        late_reader.read_after_writing = true;
        late_reader.binary = binary;
        const relay_result r = run_relay(late_reader);
        EXPECT_TRUE(r.exited_with(0)) << binary;
        EXPECT_TRUE(join(split_packets(r.out)) == input) << binary;

        relay_request reader;
        reader.args = {"head -c 5000000 /dev/zero; cat"};
        reader.writes = {packet("x"), end_of_input};
        reader.output_before_write = {5000000};
        reader.binary = binary;
        const relay_result h = run_relay(reader);
        EXPECT_TRUE(h.exited_with(0)) << binary;
        EXPECT_TRUE(join(split_packets(h.out)) == std::string(5000000, '\0') + "x") << binary;
    }
}

TEST(Streaming, ATerminalAsStandardOutputNeverKeepsTheRelayWaiting)
{
    // A controller that writes 2 MiB before it reads anything, to a command
    // that answers at once and ends: a raw terminal takes the answer as
    // slowly as a pipe would, in either mode.
    std::string input;
    const std::vector<std::string> writes = uneven_packets(2 << 20, 11, input);
    for (const char* stream : {"0", "1"}) {
        const scoped_variable mode("BRINDOCK_STREAM", stream);
        relay_request request;
        request.args = {"head -c 300000 /dev/zero"};
        request.writes = writes;
        request.read_after_writing = true;
        request.give_up_at_failed_write = true;
        request.output_terminal = true;
        request.deadline = std::chrono::milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << "stream " << stream << " " << r.wait_status;
        EXPECT_TRUE(join(split_packets(r.out)) == std::string(300000, '\0')) << "stream " << stream;
        EXPECT_EQ(r.input_error, 0) << "stream " << stream;
    }
}

TEST(StreamMode, AnyOtherValueLeavesOutputUntilTheEndOfInput)
{
    // Off in silence, or off with a line that says why.
    for (const std::string value : {"", "0", "yes", "1 "}) {
        const scoped_variable stream("BRINDOCK_STREAM", value.c_str());
        relay_request request;
        request.args = {"echo hi; cat"};
        request.writes = {packet("x"), end_of_input};
        request.output_before_write = {3};
        // Bounds a wait for what must never come; a streaming relay answers
        // within microseconds.
        request.deadline = std::chrono::milliseconds{300};
        const relay_result r = run_relay(request);
        EXPECT_FALSE(r.finished) << '"' << value << '"';
        EXPECT_EQ(r.out, "") << '"' << value << '"';
        EXPECT_EQ(r.err, value.empty() || value == "0"
                             ? ""
                             : "brindock: BRINDOCK_STREAM=" + value +
                                   " not understood, left off; only 1 turns it on\n");
    }
}

// Channel mode's packets, as the controller sends them.
std::string input(std::string_view bytes)
{
    return channel_packet(0, bytes);
}
const std::string end_packet = channel_packet(1);
std::string signal_packet(int number)
{
    return channel_packet(2, std::string(1, static_cast<char>(number)));
}
std::string window_packet(std::uint32_t credit)
{
    return channel_packet(3, packet(std::string(credit, 'x')).substr(0, 4));
}

// The exit packet is the last packet, and the only one of its kind.
std::string exit_payload(const std::vector<kind_and_payload>& packets)
{
    EXPECT_FALSE(packets.empty());
    EXPECT_EQ(joined_kind({packets.begin(), packets.end() - 1}, 2), "");
    return packets.empty() || packets.back().kind != 2 ? "none" : packets.back().payload;
}

TEST(Channels, OutputAndErrorApartThenTheExitLastWithTheTiedStatus)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    const struct {
        std::string command;
        std::vector<std::string> writes;
        std::string out, err;
        int status;  // 128 + S: the exit packet says signal S
    } cases[] = {
        {"cat; echo oops >&2; exit 3",
         {input("he"), input("llo"), end_packet},
         "hello",
         "oops\n",
         3},
        {"cat; echo oops >&2; exit 3", {input("he"), input(""), end_of_input}, "he", "oops\n", 3},
        {"cat; kill -9 $$", {input("x"), end_packet}, "x", "", 128 + SIGKILL},
        {"echo ${BRINDOCK_CHANNELS-no} ${BRINDOCK_WINDOW-no} ${BRINDOCK_TIED-no}",
         {},
         "no no no\n",
         "",
         0},
    };
    const scoped_variable window("BRINDOCK_WINDOW", "100000000");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const relay_result r = run_command(c.command, c.writes);
        EXPECT_TRUE(r.exited_with(c.status)) << r.wait_status;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        const std::string exit{static_cast<char>(c.status > 128),
                               static_cast<char>(c.status % 128)};
        EXPECT_EQ(exit_payload(packets), exit);
        EXPECT_EQ(joined_kind(packets, 0), c.out);
        EXPECT_EQ(joined_kind(packets, 1), c.err);
        EXPECT_EQ(r.err, "");
    }
    // Megabytes on both at once: each exact and in order.
    const relay_result big = run_command("head -c 3000000 /dev/urandom | tee /dev/stderr", {});
    const std::vector<kind_and_payload> packets = split_channel(big.out);
    EXPECT_EQ(joined_kind(packets, 0).size(), 3000000u);
    EXPECT_TRUE(joined_kind(packets, 0) == joined_kind(packets, 1));
    // An early end while the controller still writes: every write goes
    // through, and the answer and the exit come back.
    relay_request request;
    request.args = {"head -c 10; exit 4"};
    request.writes.assign(64, input(std::string(65536, '7')));
    request.writes.push_back(end_packet);
    request.give_up_at_failed_write = true;
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(4)) << r.wait_status;
    EXPECT_EQ(r.out, input("7777777777") + channel_packet(2, std::string("\0\4", 2)));
}

TEST(Channels, SignalsReachTheCommandBeforeAndAfterTheEndOfInput)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    const std::string trapping =
        "trap 'echo got USR1; exit 5' USR1; echo ready; while :; do sleep 1 & wait; done";
    for (const bool after_end : {false, true}) {
        SCOPED_TRACE(after_end);
        relay_request request;
        request.args = {trapping};
        request.writes = {signal_packet(SIGUSR1)};
        if (after_end) {
            request.writes.insert(request.writes.begin(), end_packet);
        }
        // The signal only once the trap is set.
        request.output_before_write.assign(request.writes.size(), 6);
        request.channel_packets = true;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(5)) << r.wait_status;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        EXPECT_EQ(joined_kind(packets, 0), "ready\ngot USR1\n");
        EXPECT_EQ(exit_payload(packets), std::string("\0\5", 2));
    }
}

TEST(Channels, EachRefusedPacketGetsOneMessageAndChangesNothingElse)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    const std::vector<std::string> refused = {
        channel_packet(7, "whatever"),
        channel_packet(2, "\1\1"),
        signal_packet(0),
        signal_packet(65),
        channel_packet(3, "abc"),
        channel_packet(1, "x"),
    };
    for (const bool flow_control : {false, true}) {
        SCOPED_TRACE(flow_control);
        const scoped_variable window(flow_control ? "BRINDOCK_WINDOW" : "NOT_A_WINDOW", "1000");
        relay_request request;
        request.args = {"cat"};
        request.writes = {input("ab")};
        request.writes.insert(request.writes.end(), refused.begin(), refused.end());
        // Without flow control a well-formed window is refused too.
        request.writes.insert(request.writes.end(),
                              {window_packet(5), input("cd"), end_packet, input("late")});
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        EXPECT_EQ(joined_kind(packets, 0), "abcd");
        EXPECT_EQ(joined_kind(packets, 1), "");
        EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
        // One line each, the same on standard error.
        const std::string messages = joined_kind(packets, 3);
        EXPECT_EQ(static_cast<std::size_t>(std::count(messages.begin(), messages.end(), '\n')),
                  refused.size() + (flow_control ? 1 : 2));
        EXPECT_EQ(messages, r.err);
    }
    // The hold at its limit is said in a packet too, although nothing more
    // fits in it; and nothing of the output is lost.
    std::string bytes;
    relay_request request;
    request.args = {"head -c 6000000 /dev/zero; cat"};
    request.writes = uneven_packets(4 << 20, 5, bytes);
    request.writes.pop_back();
    for (std::string& write : request.writes) {
        write = input(write.substr(4));
    }
    request.read_after_writing = true;
    request.binary = small_hold_binary();
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
    const std::vector<kind_and_payload> packets = split_channel(r.out);
    EXPECT_EQ(joined_kind(packets, 0).substr(0, 6000000), std::string(6000000, '\0'));
    EXPECT_NE(joined_kind(packets, 3).find("output hold full"), std::string::npos);
    EXPECT_EQ(joined_kind(packets, 3), r.err);
    EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
}

TEST(Channels, ThousandsOfRefusalsWithAFullHoldAreAllToldThenTheExitAndStandardErrorNeverStalls)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    // The hold full (memory and file), standard error a pipe nobody reads,
    // and 5000 packets refused while the controller does not read either.
    constexpr std::size_t refused = 5000;
    relay_request request;
    request.args = {"head -c 6000000 /dev/zero; cat"};
    request.writes.assign(refused, channel_packet(7, "whatever"));
    request.writes.push_back(end_packet);
    request.read_after_writing = true;
    request.leave_error_unread = true;
    request.binary = small_hold_binary();
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status << ", finished " << r.finished;
    const std::vector<kind_and_payload> packets = split_channel(r.out);
    EXPECT_TRUE(joined_kind(packets, 0) == std::string(6000000, '\0'))
        << joined_kind(packets, 0).size();
    EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
    // Each refusal is told: in a message of its own, or in the count of
    // those that found no room.
    std::size_t told = 0;
    std::istringstream messages(joined_kind(packets, 3));
    for (std::string line; std::getline(messages, line);) {
        std::size_t count = 0;
        if (line.rfind("brindock: unknown packet kind 7", 0) == 0) {
            ++told;
        } else if (std::sscanf(line.c_str(), "brindock: %zu more messages not sent", &count) == 1) {
            told += count;
        }
    }
    EXPECT_EQ(told, refused);
}

TEST(Channels, FlowControlSendsExactlyTheCreditAndHoldsTheCommandBack)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    const scoped_variable window("BRINDOCK_WINDOW", "65536");
    // 20 MB through a window of 64 KiB refilled only once all of it has come:
    // the exit packet costs nothing.
    constexpr std::size_t windows = 305;
    relay_request request;
    request.args = {"head -c " + std::to_string(windows * 65536) + " /dev/zero"};
    request.writes.assign(windows - 1, window_packet(65536));
    for (std::size_t i = 1; i < windows; ++i) {
        request.output_before_write.push_back(i * 65536);
    }
    request.channel_packets = true;
    request.close_input = false;
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
    const std::vector<kind_and_payload> packets = split_channel(r.out);
    EXPECT_EQ(joined_kind(packets, 0).size(), windows * 65536);
    EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
    // When each window was sent, exactly the credit before it had come.
    ASSERT_EQ(r.output_at_write.size(), windows - 1);
    std::size_t at = 0, payload = 0;
    for (std::size_t i = 0; i + 1 < windows; ++i) {
        while (at < r.output_at_write[i]) {
            const auto* header = reinterpret_cast<const unsigned char*>(r.out.data() + at);
            const std::size_t length = std::size_t{header[2]} << 8 | header[3];
            payload += length - 1;
            at += 4 + length;
        }
        ASSERT_EQ(payload, (i + 1) * 65536) << i;
    }
    // The command waited on its own pipe instead of the relay holding it: the
    // relay grew by less than half of the output over one that ran `true`
    // (a sanitizer's own memory included in both).
    relay_request idle;
    idle.args = {"true"};
    const relay_result i = run_relay(idle);
    EXPECT_LT(r.peak_kib, i.peak_kib + 10240) << i.peak_kib;

    // A controller that writes and reads at once, its credit behind its own
    // input: the command, which answers as it reads, is held in the hold
    // until the credit that comes pays for it, and never past it.
    std::string bytes;
    relay_request busy;
    busy.args = {"cat"};
    busy.writes = uneven_packets(1 << 20, 3, bytes);
    busy.writes.pop_back();
    for (std::string& write : busy.writes) {
        write = input(write.substr(4));
    }
    busy.writes.push_back(window_packet((1 << 20) - 65536));
    busy.writes.push_back(end_packet);
    busy.close_input = false;
    const relay_result b = run_relay(busy);
    EXPECT_TRUE(b.exited_with(0)) << b.wait_status;
    const std::vector<kind_and_payload> echoed = split_channel(b.out);
    EXPECT_TRUE(joined_kind(echoed, 0) == bytes);
    EXPECT_EQ(exit_payload(echoed), std::string("\0\0", 2));
}

// A controller that grants only for what it has read, in whatever units.
std::function<std::string(std::string_view)> grant_per(std::size_t unit)
{
    return [unit, read = std::size_t{0}](std::string_view body) mutable {
        std::string grants;
        if (!body.empty() && body[0] <= 1) {
            read += body.size() - 1;
            for (; read >= unit; read -= unit) {
                grants += window_packet(static_cast<std::uint32_t>(unit));
            }
        }
        return grants;
    };
}

TEST(Channels, FlowControlMovesWheneverThereIsCreditWhateverTheGrants)
{
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    // Input all written first, then credit for each packet read, or for each
    // 64 KiB: the deadlock's output, held unpaid, goes in pieces the credit
    // covers, never waiting beside credit left.
    const struct {
        const char* window;
        std::size_t unit;  // 0: each packet's payload
    } grants[] = {{"16384", 0}, {"65536", 65536}, {"3000", 0}};
    const std::string bytes = pattern_bytes(400000, 12);
    for (const auto& g : grants) {
        SCOPED_TRACE(g.window);
        const scoped_variable window("BRINDOCK_WINDOW", g.window);
        relay_request request;
        request.args = {"cat"};
        for (std::size_t at = 0; at < bytes.size(); at += 4000) {
            request.writes.push_back(input(bytes.substr(at, 4000)));
        }
        request.writes.push_back(end_packet);
        request.answer_packet = g.unit > 0 ? grant_per(g.unit) : [](std::string_view body) {
            return body[0] == 0 ? window_packet(static_cast<std::uint32_t>(body.size() - 1))
                                : std::string();
        };
        request.close_input = false;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status << ", finished " << r.finished;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        EXPECT_TRUE(joined_kind(packets, 0) == bytes) << joined_kind(packets, 0).size();
        EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
    }
    // Credit that saturates at its bound instead of wrapping round.
    {
        const scoped_variable window("BRINDOCK_WINDOW", "18446744073709551615");
        relay_request request;
        request.args = {"head -c 300000 /dev/zero"};
        request.writes = {window_packet(11), end_packet};
        request.close_input = false;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status << ", finished " << r.finished;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        EXPECT_EQ(joined_kind(packets, 0).size(), 300000u);
        EXPECT_EQ(exit_payload(packets), std::string("\0\0", 2));
    }
    // A window not understood is said, and nothing starts: the controller
    // gets the launch failure it knows.
    for (const char* value : {"64k", "-1", "18446744073709551616"}) {
        SCOPED_TRACE(value);
        const scoped_variable window("BRINDOCK_WINDOW", value);
        const relay_result r = run_command("echo started", {end_packet});
        EXPECT_TRUE(r.exited_with(1)) << r.wait_status;
        EXPECT_EQ(r.out, "Unable to exec your-program-B\n");
        EXPECT_EQ(r.err, std::string("brindock: BRINDOCK_WINDOW=") + value +
                             " not understood: a number of bytes from 0 to "
                             "18446744073709551615; not started\n");
    }
}

}  // namespace
