// Many relays at once: 64 brindock processes side by side, each streaming a
// few MiB through a filter, for several rounds; and many short ones whose
// command ends before the end-of-input packet is taken in. Nothing may be lost
// or left.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

TEST(Load, SixtyFourRelaysAtOnceLoseNothingAndLeaveNothingRunning)
{
    constexpr std::size_t relays = 64;
    constexpr std::size_t rounds = 3;
    constexpr std::size_t bytes = 2 << 20;
    adopt_orphans();
    for (std::size_t round = 0; round < rounds; ++round) {
        std::vector<std::string> inputs(relays);
        std::vector<relay_result> results(relays);
        std::vector<std::thread> controllers;
        for (std::size_t i = 0; i < relays; ++i) {
            controllers.emplace_back([&, i] {
                inputs[i] = pattern_bytes(bytes, static_cast<std::uint32_t>(round * relays + i));
                relay_request request;
                request.args = {i % 2 == 0 ? "cat" : "tr a-z A-Z"};
                // Packets of every size up to the relay's read size, in writes
                // that cut across them.
                std::string stream;
                for (std::size_t at = 0, size = 1 + i; at < bytes;
                     at += size, size = size * 31 % 65536 + 1) {
                    stream += packet(inputs[i].substr(at, size));
                }
                stream += end_of_input;
                for (std::size_t at = 0; at < stream.size(); at += 100000) {
                    request.writes.push_back(stream.substr(at, 100000));
                }
                request.deadline = std::chrono::milliseconds{120000};
                results[i] = run_relay(request);
            });
        }
        for (std::thread& controller : controllers) {
            controller.join();
        }
        for (std::size_t i = 0; i < relays; ++i) {
            std::string expected = inputs[i];
            if (i % 2 != 0) {
                for (char& c : expected) {
                    c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
                }
            }
            EXPECT_TRUE(results[i].exited_with(0)) << "round " << round << " relay " << i;
            EXPECT_TRUE(join(split_packets(results[i].out)) == expected)
                << "round " << round << " relay " << i;
        }
    }
    // Every command ended by itself before its relay did, and was reaped by
    // it: nothing, not even a zombie, is left to this subreaper.
    const std::vector<orphan> left = collect_orphans();
    EXPECT_TRUE(left.empty()) << left.size();
    for (const orphan& o : left) {
        EXPECT_FALSE(o.was_running) << o.pid;
    }
}

// Packets of 64 KiB whose bytes count 0 to 9 over and over, then the end of input.
std::vector<std::string> counting_packets(std::size_t count)
{
    std::string body(65536, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('0' + i % 10);
    }
    std::vector<std::string> writes(count, packet(body));
    writes.push_back(end_of_input);
    return writes;
}

TEST(Load, CommandsEndingBeforeTheirEndOfInputNeverLoseOutput)
{
    // A controller that writes and reads at once and drops everything at its
    // first failed write gets the whole answer however much input it still
    // had queued, and one that reads only after writing everything never
    // waits for ever on a command that answers at length.
    for (const std::size_t count : {3u, 16u, 64u}) {
        for (const char* stream : {"0", "1"}) {
            const scoped_variable mode("BRINDOCK_STREAM", stream);
            relay_request request;
            request.args = {"head -c 10; exit 4"};
            request.writes = counting_packets(count);
            request.give_up_at_failed_write = true;
            const relay_result r = run_relay(request);
            EXPECT_TRUE(r.exited_with(0)) << count << " packets, stream " << stream;
            EXPECT_EQ(r.out, packet("0123456789")) << count << " packets, stream " << stream;
        }
    }
    relay_request late_reader;
    late_reader.args = {"head -c 1000 >/dev/null; head -c 50000000 /dev/zero"};
    late_reader.writes = counting_packets(1526);  // 100 MB
    late_reader.give_up_at_failed_write = true;
    late_reader.read_after_writing = true;
    late_reader.deadline = std::chrono::milliseconds{120000};
    const relay_result r = run_relay(late_reader);
    EXPECT_TRUE(r.exited_with(0));
    EXPECT_TRUE(join(split_packets(r.out)) == std::string(50000000, '\0'));

    // Gaps of 300 ms, before the first write and after the command has
    // ended: every write goes through, tied or not. An idle controller that
    // neither writes nor closes sees the end of the output at once, not
    // when the relay stops waiting for its input.
    for (const char* tied : {"0", "1"}) {
        const scoped_variable mode("BRINDOCK_TIED", tied);
        relay_request paused;
        paused.args = {"echo ready; head -c 3; exit 4"};
        paused.writes = {packet("abc"), packet("def"), packet("ghi"), end_of_input};
        paused.pause_before_each_write = std::chrono::milliseconds{300};
        // The relay's input is kept, so that the writes never made show.
        paused.read_back_input = true;
        const relay_result p = run_relay(paused);
        EXPECT_TRUE(p.exited_with(tied[0] == '1' ? 4 : 0)) << tied << " " << p.wait_status;
        EXPECT_EQ(join(split_packets(p.out)), "ready\nabc") << tied;
        EXPECT_EQ(p.unread_input, "") << tied;

        relay_request idle;
        idle.args = {"echo hi"};
        idle.close_input = false;
        const relay_result i = run_relay(idle);
        EXPECT_TRUE(i.finished) << tied;
        EXPECT_EQ(i.out, packet("hi\n")) << tied;
        EXPECT_TRUE(i.output_ended_first) << tied;
    }

    constexpr int controllers = 8;
    constexpr int runs = 50;
    std::vector<int> lost(controllers, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < controllers; ++i) {
        threads.emplace_back([&lost, i] {
            for (int run = 0; run < runs; ++run) {
                const relay_result r = run_command("echo hi", {end_of_input});
                lost[static_cast<std::size_t>(i)] +=
                    r.exited_with(0) && r.out == packet("hi\n") ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < controllers; ++i) {
        EXPECT_EQ(lost[static_cast<std::size_t>(i)], 0)
            << "controller " << i << " of " << runs << " runs";
    }
}

}  // namespace
