#include "relay/child_exit.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace brindock {
namespace {

volatile std::sig_atomic_t input_phase_over = 0;
volatile std::sig_atomic_t child_exited = 0;
// Both ends are non-blocking and close-on-exec; -1 until opened. The handler
// only runs with a valid write end once the input phase is over, since the
// pipe is opened before the child exists.
int event_read_end = -1;
int event_write_end = -1;

}  // namespace

void proc_exit(int /*signal_number*/)
{
    if (input_phase_over == 0) {
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
    // No SA_NOCLDSTOP: a stopped or continued child ends the relay too.
    action.sa_flags = SA_RESTART;
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

void mark_input_phase_over()
{
    input_phase_over = 1;
}

bool child_exit_seen()
{
    return child_exited != 0;
}

}  // namespace brindock
