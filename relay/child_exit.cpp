#include "relay/child_exit.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace brindock {
namespace {

volatile std::sig_atomic_t child_exited = 0;
// Both ends are non-blocking and close-on-exec; -1 until opened, which happens
// before the command is launched. The handler reads the write end, so it is
// stored last.
int event_read_end = -1;
volatile std::sig_atomic_t event_write_end = -1;

}  // namespace

void proc_exit(int /*signal_number*/)
{
    if (event_write_end < 0) {
        _exit(0);
    }
    const int saved_errno = errno;
    child_exited = 1;
    // One byte is enough to wake the wait; a full pipe already holds one.
    if (write(event_write_end, "", 1) < 0) {
    }
    errno = saved_errno;
}

void install_child_exit_handler()
{
    struct sigaction action {};
    action.sa_handler = proc_exit;
    sigemptyset(&action.sa_mask);
    // No SA_NOCLDSTOP: a stopped or continued child ends the relay too. No
    // SA_RESTART: a blocking read or write returns EINTR, and the caller sees
    // the event, instead of resuming and waiting on.
    action.sa_flags = 0;
    sigaction(SIGCHLD, &action, nullptr);
}

bool open_child_exit_event()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    event_read_end = ends[0];
    event_write_end = ends[1];
    return true;
}

int child_exit_event_fd()
{
    return event_read_end;
}

bool child_exit_seen()
{
    return child_exited != 0;
}

}  // namespace brindock
