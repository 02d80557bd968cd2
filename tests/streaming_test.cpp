// Streaming through the real brindock: megabytes each way, commands that write
// before they read, and the output hold at its limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

TEST(Streaming, FullHoldOnlyHoldsTheCommandBack)
{
    // 64 KiB of hold and 64 KiB pipes. The first command writes well over
    // what its output pipe takes, and under what pipe and hold take together,
    // before reading input that its input pipe cannot take either: the hold
    // has to take most of its limit while input still flows. The second
    // writes far more than both, which waits in its pipe for the output
    // phase; its input must fit in the pipe to it (pieces of at most 1024
    // bytes fill 16 pages to at least 48 KiB), or both would wait for ever.
    const struct {
        std::string command;
        std::size_t input_size;
        std::string before;
        bool echoes;
    } cases[] = {
        {"head -c 110000 /dev/zero; wc -c", 300 * 1024, std::string(110000, '\0'), false},
        {"head -c 3000000 /dev/zero; cat", 40000, std::string(3000000, '\0'), true},
    };
    for (const auto& c : cases) {
        std::string input;
        const relay_result r = run_command(c.command, uneven_packets(c.input_size, 7, input),
                                           BRINDOCK_SMALL_HOLD_BINARY);
        ASSERT_TRUE(r.exited_with(0)) << c.command;
        const std::string after = c.echoes ? input : std::to_string(input.size()) + "\n";
        EXPECT_TRUE(join(split_packets(r.out)) == c.before + after) << c.command;
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

}  // namespace
