// The real brindock, driven through real pipes with real shell commands.
#include <gtest/gtest.h>

#include <string>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

relay_result relay(const std::string& command, std::vector<std::string> writes)
{
    relay_request request;
    request.args = {command};
    request.writes = std::move(writes);
    return run_relay(request);
}

TEST(Usage, AnyArgumentCountButOneGetsTheUsageTextAndStatusZero)
{
    const std::vector<std::vector<std::string>> wrong_counts = {{}, {"cat", "extra"}, {"a", "b", "c"}};
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

TEST(Exchange, BodiesReachTheCommandJoinedAndItsOutputComesBackFramed)
{
    const relay_result r = relay("tr a-z A-Z", {packet("ab"), packet("cd"), end_of_input});
    ASSERT_TRUE(r.exited_with(0));
    EXPECT_EQ(join(split_packets(r.out)), "ABCD");
}

TEST(Exchange, TrailingOutputIsNeverLostWhenTheCommandEndsAtItsEndOfInput)
{
    for (int run = 0; run < 300; ++run) {
        const relay_result r = relay("tr a-z A-Z", {packet("hello"), end_of_input});
        ASSERT_TRUE(r.exited_with(0)) << "run " << run;
        ASSERT_EQ(r.out, packet("HELLO")) << "run " << run;
    }
}

}  // namespace
