#include "relay/tied_mode.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <initializer_list>

#include "relay/control_group.hpp"
#include "relay/group_location.hpp"
#include "relay/settings.hpp"
#include "relay/switches.hpp"
#include "relay/watchdog.hpp"

namespace brindock {
namespace {

// Read by the ending signals' handler: the watchdog, the relay's pipe to it
// (-1 once closed) and the end of the reports.
volatile pid_t watchdog = -1;
volatile int watchdog_control = -1;
int watchdog_reports = -1;
command_group group;
bool group_wanted = true;
// The first report and, once it has come, the report of the command's end.
command_report started{-1, 0, 0, 0};
command_report ended{-1, 0, 0, 0};

// Takes in the reports that have come; at `wait` until the watchdog's end.
// Async-signal-safe.
void read_reports(bool wait)
{
    command_report report{};
    for (;;) {
        const ssize_t got = read(watchdog_reports, &report, sizeof report);
        if (got == static_cast<ssize_t>(sizeof report)) {
            if (report.ended != 0) {
                ended = report;
            }
            continue;
        }
        if (got < 0 && errno == EAGAIN && wait) {
            pollfd more{watchdog_reports, POLLIN, 0};
            poll(&more, 1, -1);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return;
    }
}

// Closes the pipe, waits for the watchdog to have ended the group and reaped
// the command, and returns the command's exit status. Async-signal-safe.
int end_group_and_wait()
{
    if (watchdog_control >= 0) {
        close(watchdog_control);
        watchdog_control = -1;
    }
    if (watchdog_reports >= 0) {
        read_reports(true);
    }
    int status = 0;
    while (watchdog > 0 && waitpid(watchdog, &status, 0) < 0 && errno == EINTR) {
    }
    watchdog = -1;
    // The watchdog exits with the command's exit status, should its last
    // report have been lost.
    if (ended.ended == 0) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + SIGKILL;
    }
    if (WIFSIGNALED(ended.wait_status)) {
        return 128 + WTERMSIG(ended.wait_status);
    }
    return WIFEXITED(ended.wait_status) ? WEXITSTATUS(ended.wait_status) : 0;
}

void end_by_signal(int signal_number)
{
    end_group_and_wait();
    // SA_RESETHAND has restored the default and SA_NODEFER left the signal
    // unblocked, so it ends the relay here, as if there had been no handler.
    if (raise(signal_number) != 0) {
        _exit(128 + signal_number);
    }
}

}  // namespace

bool take_tied_request()
{
    return take_switch("BRINDOCK_TIED");
}

long tied_grace_ms()
{
    return grace_period_ms();
}

pid_t spawn_tied_command(const char* command, int* child_input, int* child_output, int* child_error,
                         int terminal_slave, bool terminal_input)
{
    group_wanted = !take_switch("BRINDOCK_NO_CONTROL_GROUP");
    char own_group[PATH_MAX];
    if (group_wanted && find_own_group_path(own_group, sizeof own_group)) {
        make_command_group(own_group, group);
    }
    shell_pipes pipes;
    if (make_shell_pipes(pipes, child_error != nullptr, terminal_slave, terminal_input) != 0) {
        remove_command_group(group);
        return -1;
    }
    watchdog_link link;
    started = start_watched_command(command, pipes, group, tied_grace_ms(), link);
    if (started.pid <= 0) {
        remove_command_group(group);
        close_shell_pipes(pipes);
        if (link.watchdog > 0) {
            waitpid(link.watchdog, nullptr, 0);
        }
        return -1;
    }
    watchdog = link.watchdog;
    watchdog_control = link.control;
    watchdog_reports = link.reports;
    hand_over_relay_ends(pipes, child_input, child_output, child_error);
    return started.pid;
}

bool command_in_control_group()
{
    return started.in_control_group != 0;
}

bool control_group_wanted()
{
    return group_wanted;
}

int command_reports()
{
    return watchdog_reports;
}

bool command_end_reported(int& wait_status)
{
    if (ended.ended == 0 && watchdog_reports >= 0) {
        read_reports(false);
    }
    wait_status = ended.wait_status;
    return ended.ended != 0;
}

bool signal_command_group(int signal_number)
{
    if (started.in_control_group == 0) {
        return false;
    }
    signal_group_members(group, signal_number);
    return true;
}

void end_command_group_now()
{
    if (watchdog_control >= 0 && write(watchdog_control, &end_group_request, 1) < 0) {
    }
}

void install_ending_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        // One inherited as ignored stays so, for the relay and the command alike.
        struct sigaction inherited {};
        if (sigaction(signal_number, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

int end_tied()
{
    return end_group_and_wait();
}

}  // namespace brindock
