// Many relays at once: 64 brindock processes side by side, each streaming a
// few MiB through a filter, for several rounds; nothing may be lost or left.
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
    // Every command ended by itself before its relay did.
    const std::vector<orphan> left = collect_orphans();
    EXPECT_EQ(left.size(), relays * rounds);
    for (const orphan& o : left) {
        EXPECT_FALSE(o.was_running) << o.pid;
    }
}

}  // namespace
