// Tied mode (BRINDOCK_TIED=1): the relay reports its command's status, waits
// through the command's stops, keeps the variable to itself, and leaves
// nothing of the command running however it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;
using std::chrono::milliseconds;

// The variable is set in the test process for as long as one of these lives,
// so that every relay started meanwhile inherits it.
struct tied_environment {
    tied_environment()
    {
        setenv("BRINDOCK_TIED", "1", 1);
    }
    ~tied_environment()
    {
        unsetenv("BRINDOCK_TIED");
    }
};

TEST(Tied, TheRelayEndsWithItsCommandAndReportsItsStatus)
{
    const tied_environment tied;
    // The command stops itself; a process of its own lets it go on once it
    // sees it stopped. Untied, the stop would end the relay.
    const std::string stop_then_go_on =
        "( while ! grep -q '^State:.*T' /proc/$$/status; do :; done; kill -CONT $$ ) & "
        "kill -STOP $$; cat";
    const struct {
        std::string command, output;
        int status;
    } cases[] = {
        {"cat; exit 42", "x", 42},
        {"cat; kill -9 $$", "x", 128 + SIGKILL},
        {"cat; echo ${BRINDOCK_TIED-unset}", "xunset\n", 0},
        {stop_then_go_on, "x", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        relay_request request;
        request.args = {c.command};
        request.writes = {packet("x"), end_of_input};
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(c.status)) << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), c.output);
    }
    // Input still queued when the command ends costs neither its answer nor
    // its status, even for a controller that gives up at a failed write.
    for (const std::size_t count : {3u, 16u, 64u}) {
        relay_request request;
        request.args = {"head -c 10; exit 4"};
        request.writes.assign(count, packet(std::string(65536, '7')));
        request.writes.push_back(end_of_input);
        request.give_up_at_failed_write = true;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(4)) << count << " packets, " << r.wait_status;
        EXPECT_EQ(r.out, packet("7777777777")) << count << " packets";
    }
}

TEST(Tied, NothingOfTheCommandOutlivesTheRelayHoweverItEnds)
{
    adopt_orphans();
    collect_orphans();  // whatever earlier tests in this process left
    const tied_environment tied;
    // Each command leaves a process behind in the background and otherwise
    // ignores its input.
    const struct {
        const char* name;
        std::string command;
        bool closes_both_pipes;
        int exit_status;  // -1: the relay is killed by `signal_number`
        int signal_number;
    } cases[] = {
        {"the controller closes both pipes", "sleep 1000 & echo started; sleep 1000", true,
         128 + SIGTERM, 0},
        {"SIGTERM to the relay", "sleep 1000 & kill -TERM $PPID; wait", false, -1, SIGTERM},
        {"SIGKILL to the relay", "sleep 1000 & kill -KILL $PPID; wait", false, -1, SIGKILL},
        {"the shell ends", "sleep 1000 & echo started", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relay_request request;
        request.args = {c.command};
        request.writes = {end_of_input};
        if (c.closes_both_pipes) {
            request.close_output_after = 1;
        }
        request.deadline = milliseconds{15000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(c.exit_status >= 0 ? r.exited_with(c.exit_status)
                                       : r.killed_by(c.signal_number))
            << r.wait_status;
        // Every process the command left was taken in by this one: each must
        // end by itself, the watchdog's grace period after the relay at most.
        const std::vector<orphan> left = collect_orphans(milliseconds{6000});
        EXPECT_FALSE(left.empty());
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
    }
}

}  // namespace
