// The tests write to relays that may already have closed their input; such a
// write must fail with EPIPE in the test, not end the test process. The relay
// under test is chosen before any runs, and relays get no control group
// unless a test asks for one.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/relay_process.hpp"

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    brindock_test::relay_binary();
    brindock_test::ask_for_no_control_groups();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
