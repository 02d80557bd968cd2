// The tests write to relays that may already have closed their input; such a
// write must fail with EPIPE in the test, not end the test process. The relay
// under test is chosen before any runs.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/relay_process.hpp"

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    brindock_test::relay_binary();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
