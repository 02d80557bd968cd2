#include "relay/child_exit.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "relay/descriptors.hpp"

namespace brindock {
namespace {

volatile std::sig_atomic_t child_exited = 0;
// Both ends are non-blocking and close-on-exec; -1 until opened, which happens
// before the command is launched. The handler reads the write end, so it is
// stored last.
int event_read_end = -1;
volatile std::sig_atomic_t event_write_end = -1;
// Readable once the command has ended; -1 where the kernel has no such thing.
int command_process = -1;

constexpr nfds_t max_watched = 3;

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

void watch_command(pid_t command)
{
    // Close-on-exec by nature. The command is never reaped, so even one that
    // has already ended can be opened: it stays a zombie until the relay ends.
    command_process = static_cast<int>(syscall(SYS_pidfd_open, command, 0));
}

bool child_exit_seen()
{
    return child_exited != 0;
}

bool wait_unless_child_exit(pollfd* watched, nfds_t count)
{
    count = std::min(count, max_watched);
    pollfd all[max_watched + 2];
    std::copy(watched, watched + count, all);
    all[count] = {event_read_end, POLLIN, 0};
    all[count + 1] = {command_process, POLLIN, 0};
    // A poll that fails is left to the caller's next call to find out about.
    wait_for_any(all, count + 2);
    if (all[count + 1].revents != 0) {
        child_exited = 1;
    }
    for (nfds_t i = 0; i < count; ++i) {
        watched[i].revents = all[i].revents;
    }
    return !child_exit_seen();
}

}  // namespace brindock
