#include "relay/watchdog.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "relay/descriptors.hpp"
#include "relay/process_tree.hpp"

namespace brindock {
namespace {

// Where the watchdog keeps what it holds; 0 to 2 go to /dev/null.
constexpr int control_fd = 3;
constexpr int reports_fd = 4;
constexpr int parent_group_fd = 5;
constexpr int group_fd = 6;
constexpr int child_events_fd = 7;

// What the watchdog knows of its command; on its own stack, handed down.
struct watched {
    command_report report;
    command_group group;
    long grace_ms;
    bool subreaper;  // every orphan of the tree comes to the watchdog
};

// Moves `fd` to `place`; returns `place`, or -1 where `fd` is -1.
int move_to(int fd, int place)
{
    if (fd < 0) {
        return -1;
    }
    if (fd != place) {
        dup2(fd, place);
    }
    return place;
}

// Keeps the pipes and the group's descriptors at their places, /dev/null (or
// nothing, without one) as standard input, output and error, and nothing
// else of the relay's.
void keep_only_own(int control, int reports, command_group& group)
{
    // The relay's descriptors lie above 2 here, and each is first copied
    // above all the places, so that no move lands on one still to be moved.
    const int copies[4] = {fcntl(control, F_DUPFD, 16), fcntl(reports, F_DUPFD, 16),
                           group.parent >= 0 ? fcntl(group.parent, F_DUPFD, 16) : -1,
                           group.dir >= 0 ? fcntl(group.dir, F_DUPFD, 16) : -1};
    move_to(copies[0], control_fd);
    move_to(copies[1], reports_fd);
    group.parent = move_to(copies[2], parent_group_fd);
    group.dir = move_to(copies[3], group_fd);
    // Without a group, what the relay had at those places goes too.
    for (const int place :
         {group.parent < 0 ? parent_group_fd : -1, group.dir < 0 ? group_fd : -1}) {
        if (place >= 0) {
            close(place);
        }
    }
    close_descriptors_from(group_fd + 1);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (null_fd >= 0) {
            dup2(null_fd, fd);
        } else {
            close(fd);
        }
    }
    if (null_fd > 2) {
        close(null_fd);
    }
}

void send_report(const command_report& report)
{
    // One write of the whole, which a pipe keeps in one piece.
    unsigned char bytes[sizeof report];
    std::memcpy(bytes, &report, sizeof report);
    while (write(reports_fd, bytes, sizeof bytes) < 0 && errno == EINTR) {
    }
}

// The command's status as an exit status: N for exit N, 128 + S for signal S.
int exit_status_of(int wait_status)
{
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 0;
}

// Reports the command's end once it has ended, leaving it unreaped, and
// reaps the other children that have.
void look_at_children(watched& w)
{
    siginfo_t info{};
    if (w.report.ended == 0 &&
        waitid(P_PID, static_cast<id_t>(w.report.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == w.report.pid) {
        w.report.ended = 1;
        w.report.wait_status =
            info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0) : info.si_status & 0x7f;
        send_report(w.report);
    }
    reap_ended_children(w.report.pid);
}

void end_group(watched& w)
{
    if (w.report.in_control_group != 0) {
        end_command_group(w.group, w.grace_ms);
    } else {
        end_process_tree(w.report.pid, w.grace_ms, w.subreaper);
    }
}

// Until the relay's pipe closes: the command's end is reported as it comes,
// and the group ended early when the relay asks.
void watch_until_relay_ends(watched& w)
{
    for (;;) {
        pollfd watched_fds[2] = {{control_fd, POLLIN, 0}, {child_events_fd, POLLIN, 0}};
        if (poll(watched_fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched_fds[1].revents != 0) {
            signalfd_siginfo event[4];
            while (read(child_events_fd, event, sizeof event) > 0) {
            }
            look_at_children(w);
        }
        if (watched_fds[0].revents != 0) {
            char request = 0;
            const ssize_t got = read(control_fd, &request, 1);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                return;
            }
            if (got == 1 && request == end_group_request) {
                end_group(w);
                look_at_children(w);
            }
        }
    }
}

[[noreturn]] void run_watchdog(const char* command, const shell_pipes& pipes, watched& w,
                               int control, int reports)
{
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &default_action, nullptr);
    // The relay killed outright leaves reports without a reader.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    setpgid(0, 0);
    w.subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    bool joined = false;
    const pid_t pid = fork_shell(command, pipes, w.group.dir, true, joined);
    w.report = {pid, joined ? 1 : 0, 0, 0};
    if (pid < 0) {
        w.report.wait_status = errno;
    }
    // Signals meant for the relay do not end the watchdog: the relay's own
    // end, whatever it is, is what ends the group.
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaction(signal_number, &ignore, nullptr);
    }
    keep_only_own(control, reports, w.group);
    send_report(w.report);
    // A group that the command did not join is of no use.
    if (!joined) {
        remove_command_group(w.group);
    }
    if (pid < 0) {
        _exit(1);
    }
    sigset_t child_events;
    sigemptyset(&child_events);
    sigaddset(&child_events, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_events, nullptr);
    move_to(signalfd(-1, &child_events, SFD_NONBLOCK | SFD_CLOEXEC), child_events_fd);
    look_at_children(w);  // an end before the signal was blocked
    watch_until_relay_ends(w);
    end_group(w);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // What the end killed: its orphans are the watchdog's, and would
    // otherwise be left as zombies to whoever adopts them.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (w.report.ended == 0) {
        w.report.ended = 1;
        w.report.wait_status = status;
        send_report(w.report);
    }
    _exit(exit_status_of(w.report.wait_status));
}

}  // namespace

command_report start_watched_command(const char* command, const shell_pipes& pipes,
                                     const command_group& group, long grace_ms, watchdog_link& link)
{
    command_report report{-1, 0, 0, 0};
    int control[2];
    int reports[2];
    if (pipe2(control, O_CLOEXEC) != 0) {
        return report;
    }
    if (pipe2(reports, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        return report;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(control[1]);
        close(reports[0]);
        watched w{{}, group, grace_ms, false};
        run_watchdog(command, pipes, w, control[0], reports[1]);
    }
    close(control[0]);
    close(reports[1]);
    if (pid < 0) {
        close(control[1]);
        close(reports[0]);
        return report;
    }
    link = {pid, control[1], reports[0]};
    ssize_t got = 0;
    while ((got = read(link.reports, &report, sizeof report)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof report) || report.pid <= 0) {
        errno = got == static_cast<ssize_t>(sizeof report) ? report.wait_status : EAGAIN;
        report.pid = -1;
    }
    fcntl(link.reports, F_SETFL, O_NONBLOCK);
    return report;
}

}  // namespace brindock
