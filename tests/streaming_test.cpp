// Streaming through the real brindock: megabytes each way, commands that write
// before they read, the output hold at its bounds and in its spill file, and
// stream mode, where output comes back while input still flows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
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
        const relay_result r =
            run_command("head -c 3000000 /dev/zero; cat", uneven_packets(40000, 7, input),
                        BRINDOCK_SMALL_HOLD_BINARY);
        ASSERT_TRUE(r.exited_with(0));
        EXPECT_TRUE(join(split_packets(r.out)) == std::string(3000000, '\0') + input);
        EXPECT_EQ(r.err, "");
    }
    // Everything that streams through cat once the hold is full would wait
    // for ever: the command's input ends there, the rest of the controller's
    // is dropped, and it learns that from one line on standard error.
    std::string input;
    const relay_result r =
        run_command("cat", uneven_packets(16 << 20, 8, input), BRINDOCK_SMALL_HOLD_BINARY);
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
                        uneven_packets(3 << 20, 9, input), BRINDOCK_SMALL_HOLD_BINARY);
        if (c.then == "cat") {
            EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
            EXPECT_TRUE(join(split_packets(r.out)) == input);
        } else {
            EXPECT_TRUE(r.killed_by(SIGKILL)) << r.wait_status;
        }
        EXPECT_EQ(spill_dir(r.err), c.spilled_in) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir));
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
        {"file size", BRINDOCK_SMALL_HOLD_BINARY, RLIMIT_FSIZE, rlim_t{1} << 20}};
    // The sanitizers reserve terabytes of address space, and a relay that
    // loads the C library needs more than this.
    if (BRINDOCK_RELAY_IS_STATIC) {
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
    for (const auto& [binary, size] :
         {std::pair{relay_binary(), std::size_t{8} << 20},
          std::pair{std::string(BRINDOCK_SMALL_HOLD_BINARY), std::size_t{5} << 20}}) {
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

}  // namespace
