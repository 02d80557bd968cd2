#include "relay/tied_mode.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "relay/child_exit.hpp"
#include "relay/control_group.hpp"
#include "relay/descriptors.hpp"
#include "relay/group_location.hpp"
#include "relay/launcher.hpp"
#include "relay/switches.hpp"

#ifndef BRINDOCK_TIED_GRACE_MS
#define BRINDOCK_TIED_GRACE_MS 3000
#endif

namespace brindock {
namespace {

// How long what is left of the group has to end after SIGTERM, and again
// after SIGKILL for the kernel to tear it down.
constexpr long grace_ms = BRINDOCK_TIED_GRACE_MS;
// The group is looked at 1 ms after a signal, then half as often each time, up
// to this: a group that ends at once is seen at once, and one that holds on
// costs a scan of /proc (on a busy machine, thousands of files) a few times a
// second at most.
constexpr long longest_check_interval_ms = 100;
// Where the watchdog keeps its end of the pipe; 0 to 2 go to /dev/null.
constexpr int watchdog_pipe_fd = 3;
// The most processes a walk through the relay's descendants keeps to look at.
constexpr std::size_t longest_walk = 4096;

// The relay's end of the pipe to the watchdog; closing it starts the ending.
volatile int watchdog_pipe = -1;
volatile pid_t watchdog = -1;
// The command's control group; its descriptors are -1 where there is none.
command_group group;
// The watchdog keeps the group's descriptors here.
constexpr int watchdog_parent_fd = watchdog_pipe_fd + 1;
constexpr int watchdog_group_fd = watchdog_pipe_fd + 2;
// The relay, and whether it is its descendants' subreaper: while it lives,
// whatever the command starts and leaves behind becomes its child, not that
// of some process elsewhere, so all of the command's group is found among
// its descendants.
pid_t relay = -1;
bool relay_is_subreaper = false;
// The command was started inside the control group.
bool command_joined = false;

// Just past the number that `at` (a blank, then digits) starts with.
const char* skip_number(const char* at)
{
    for (++at; *at >= '0' && *at <= '9'; ++at) {
    }
    return at;
}

long read_number(const char* at)
{
    long value = 0;
    for (++at; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + (*at - '0');
    }
    return value;
}

// Writes the decimal digits of `number` at `at`; returns the end.
char* put_number(char* at, long number)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && count < 20);
    while (count > 0) {
        *at++ = digits[--count];
    }
    return at;
}

// Writes "<pid>/stat" into `path`, which holds at least 32 bytes.
void stat_path_of(long pid, char* path)
{
    std::memcpy(put_number(path, pid), "/stat", 6);
}

// True when process `pid` is in `group` and has not ended: a zombie waiting
// to be reaped by its parent counts as gone.
bool is_live_member(int proc, long pid, pid_t group)
{
    char stat_path[32];
    stat_path_of(pid, stat_path);
    const int fd = openat(proc, stat_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char line[512];
    const ssize_t got = read(fd, line, sizeof line - 1);
    close(fd);
    if (got <= 0) {
        return false;
    }
    line[got] = '\0';
    // "pid (name) state ppid pgrp ...": the name may hold anything, even ')'.
    const char* field = std::strrchr(line, ')');
    if (field == nullptr || got - (field - line) < 4) {
        return false;
    }
    const char state = field[2];
    field = skip_number(field + 3);  // the parent
    return read_number(field) == group && state != 'Z' && state != 'X';
}

struct member_search {
    int proc;
    pid_t group;
    bool found;
};

bool look_for_member(long pid, void* context)
{
    auto* search = static_cast<member_search*>(context);
    search->found = is_live_member(search->proc, pid, search->group);
    return !search->found;
}

// /proc where it is mounted: an empty folder in its place would show no
// process at all.
int open_proc()
{
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc >= 0 && faccessat(proc, "self/stat", F_OK, 0) != 0) {
        close(proc);
        return -1;
    }
    return proc;
}

// A walk through the relay's descendants, looking for a live member of the
// group. It counts the processes it meets and sums their numbers, so that two
// walks can tell whether they saw the same tree.
struct descendant_walk {
    int proc;
    pid_t group;
    bool found;
    bool whole;
    long seen;
    long number_sum;
    std::size_t waiting;  // how many of `to_visit` are still to be looked into
    pid_t to_visit[longest_walk];
};
descendant_walk walk;

// Takes in the children that "<pid>/task/<tid>/children" lists.
void take_children(descendant_walk& w, const char* path)
{
    const int fd = openat(w.proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;  // the process ended meanwhile
    }
    char list[4096];
    long child = 0;
    ssize_t got = 0;
    while (!w.found && (got = read(fd, list, sizeof list)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (list[i] >= '0' && list[i] <= '9') {
                child = child * 10 + (list[i] - '0');
                continue;
            }
            if (child > 0) {
                w.found = w.found || is_live_member(w.proc, child, w.group);
                ++w.seen;
                w.number_sum += child;
                w.whole = w.whole && w.waiting < longest_walk;
                if (w.waiting < longest_walk) {
                    w.to_visit[w.waiting++] = static_cast<pid_t>(child);
                }
            }
            child = 0;
        }
    }
    w.whole = w.whole && got == 0;
    close(fd);
}

long current_pid = 0;

bool take_children_of_thread(long thread, void* context)
{
    auto& w = *static_cast<descendant_walk*>(context);
    char path[96];
    char* at = put_number(path, current_pid);
    std::memcpy(at, "/task/", 6);
    at = put_number(at + 6, thread);
    std::memcpy(at, "/children", 10);
    take_children(w, path);
    return !w.found;
}

// Children are listed per thread, so each thread of each process is looked into.
void look_into(descendant_walk& w, pid_t pid)
{
    char path[48];
    std::memcpy(put_number(path, pid), "/task", 6);
    const int tasks = openat(w.proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) {
        return;
    }
    current_pid = pid;
    visit_numbered_entries(tasks, take_children_of_thread, &w);
    close(tasks);
}

// Walks the relay's descendants once. The relay has one thread.
void walk_descendants(int proc, pid_t group)
{
    walk.proc = proc;
    walk.group = group;
    walk.found = false;
    walk.whole = true;
    walk.seen = 0;
    walk.number_sum = 0;
    walk.waiting = 0;
    char path[96];
    char* at = put_number(path, relay);
    std::memcpy(at, "/task/", 6);
    at = put_number(at + 6, relay);
    std::memcpy(at, "/children", 10);
    if (faccessat(proc, path, R_OK, 0) != 0) {
        walk.whole = false;  // a kernel that does not list children
        return;
    }
    take_children(walk, path);
    while (!walk.found && walk.waiting > 0) {
        look_into(walk, walk.to_visit[--walk.waiting]);
    }
}

enum class verdict { gone, running, cannot_tell };

// Whether anything of `group` runs, from the relay's descendants alone: a
// cost that grows with what the command started, not with what the machine
// runs. A list of children read while the tree changes may miss one, so the
// group counts as gone only when two walks in a row saw the same tree and no
// live member in it, and the relay still lived after both: its descendants
// are only handed on to another process when it ends.
verdict look_through_descendants(int proc, pid_t group)
{
    if (!relay_is_subreaper || getppid() != relay) {
        return verdict::cannot_tell;
    }
    walk_descendants(proc, group);
    const long seen = walk.seen;
    const long number_sum = walk.number_sum;
    if (!walk.found && walk.whole) {
        walk_descendants(proc, group);
    }
    if (walk.found) {
        return verdict::running;
    }
    if (!walk.whole || getppid() != relay) {
        return verdict::cannot_tell;
    }
    return walk.seen == seen && walk.number_sum == number_sum ? verdict::gone : verdict::running;
}

// True once nothing of `group` runs any more; zombies do not count, the
// command among them, which the relay reaps only after the watchdog is done.
// Cheapest first: no member at all, then the leader still running, then the
// relay's descendants, and only where they cannot tell (the relay was killed
// outright) a scan of /proc. Without /proc any member counts, zombies too.
bool group_is_gone(pid_t group)
{
    if (kill(-group, 0) != 0 && errno == ESRCH) {
        return true;
    }
    const int proc = open_proc();
    if (proc < 0) {
        return false;
    }
    member_search search{proc, group, is_live_member(proc, group, group)};
    verdict seen = search.found ? verdict::running : look_through_descendants(proc, group);
    if (seen == verdict::cannot_tell) {
        const bool scanned = visit_numbered_entries(proc, look_for_member, &search);
        seen = scanned && !search.found ? verdict::gone : verdict::running;
    }
    close(proc);
    return seen == verdict::gone;
}

long milliseconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Looks at the group more and more seldom until it is gone or `bound_ms` have
// passed on the monotonic clock, whatever each look costs. Returns true once
// it is gone.
bool wait_until_gone(pid_t group, long bound_ms)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long interval_ms = 1;;
         interval_ms = std::min(2 * interval_ms, longest_check_interval_ms)) {
        const long left_ms = bound_ms - milliseconds_since(start);
        if (left_ms <= 0) {
            return group_is_gone(group);
        }
        const long nap_ms = std::min(interval_ms, left_ms);
        const timespec nap{nap_ms / 1000, nap_ms % 1000 * 1000000};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &nap, nullptr);
        if (group_is_gone(group)) {
            return true;
        }
    }
}

// Ends the group: SIGTERM, with SIGCONT so that stopped members handle it,
// then SIGKILL if anything is left after the grace period, and a bounded wait
// for the kernel to tear that down. A group once seen gone is never signalled
// again: its number may have been given to someone else. Async-signal-safe,
// like all of the watchdog.
void end_group(pid_t group)
{
    if (group_is_gone(group)) {
        return;
    }
    kill(-group, SIGTERM);
    kill(-group, SIGCONT);
    if (wait_until_gone(group, grace_ms)) {
        return;
    }
    kill(-group, SIGKILL);
    // Without /proc the unreaped command would count as running until the bound.
    const int proc = open_proc();
    if (proc >= 0) {
        close(proc);
        wait_until_gone(group, grace_ms);
    }
}

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

// Keeps the pipe as descriptor 3 and the control group's descriptors after
// it, /dev/null (or nothing, without one) as standard input, output and
// error, and nothing else of the relay's.
void keep_only_pipe(int pipe_end)
{
    // The descriptors above 2 are the relay's own here, so none of them is a
    // place taken below: each is moved only onto a number above all three.
    const int parent = group.parent >= 0 ? fcntl(group.parent, F_DUPFD, 16) : -1;
    const int dir = group.dir >= 0 ? fcntl(group.dir, F_DUPFD, 16) : -1;
    const int pipe_copy = fcntl(pipe_end, F_DUPFD, 16);
    move_to(pipe_copy, watchdog_pipe_fd);
    group.parent = move_to(parent, watchdog_parent_fd);
    group.dir = move_to(dir, watchdog_group_fd);
    close_descriptors_from(watchdog_group_fd + 1);
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

// Holds nothing of the relay's but its pipe, so that whoever waits on the
// relay's descriptors sees their end when the relay ends. In a group of its
// own, signals meant for the relay's group do not reach it.
[[noreturn]] void run_watchdog(int pipe_end)
{
    keep_only_pipe(pipe_end);
    setpgid(0, 0);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &default_action, nullptr);
    command_report report{};
    ssize_t got = 0;
    while ((got = read(watchdog_pipe_fd, &report, sizeof report)) < 0 && errno == EINTR) {
    }
    const bool started = got == static_cast<ssize_t>(sizeof report) && report.pid > 0;
    // A control group that the command did not join is of no use; nor is one
    // made for a command that never started.
    if (!started || report.in_control_group == 0) {
        remove_command_group(group);
    }
    if (!started) {
        _exit(0);
    }
    // Nothing more is ever written: the next read returns at the relay's end.
    for (char rest = 0;;) {
        got = read(watchdog_pipe_fd, &rest, 1);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
    }
    if (report.in_control_group != 0) {
        end_command_group(group, grace_ms);
    } else {
        end_group(report.pid);
    }
    _exit(0);
}

// Closes the pipe, waits for the watchdog to have ended the group, and only
// then reaps the command: until that moment the unreaped command kept the
// group's number its own. Returns the command's wait status. Async-signal-safe.
int end_group_and_reap(pid_t command)
{
    if (watchdog_pipe >= 0) {
        close(watchdog_pipe);
        watchdog_pipe = -1;
    }
    while (watchdog > 0 && waitpid(watchdog, nullptr, 0) < 0 && errno == EINTR) {
    }
    watchdog = -1;
    int status = 0;
    while (command > 0 && waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

void end_by_signal(int signal_number)
{
    end_group_and_reap(command_pid());
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

int start_watchdog()
{
    const bool group_wanted = !take_switch("BRINDOCK_NO_CONTROL_GROUP");
    char own_group[PATH_MAX];
    if (group_wanted && find_own_group_path(own_group, sizeof own_group)) {
        make_command_group(own_group, group);
    }
    relay = getpid();
    relay_is_subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    // The watchdog removes the group whenever the relay ends from here on.
    const pid_t pid = fork();
    if (pid == 0) {
        run_watchdog(ends[0]);
    }
    close(ends[0]);
    if (pid < 0) {
        close(ends[1]);
        remove_command_group(group);
        return -1;
    }
    watchdog = pid;
    watchdog_pipe = ends[1];
    return ends[1];
}

int command_control_group()
{
    return group.dir;
}

void note_command_joined_group(bool joined)
{
    command_joined = joined;
}

bool signal_command_group(int signal_number)
{
    if (!command_joined) {
        return false;
    }
    signal_group_members(group, signal_number);
    return true;
}

void reap_adopted_orphans(pid_t command)
{
    // The children are looked at in the order they came: the watchdog, the
    // command, then those adopted. An ended command hides those after it,
    // but the relay then ends soon, and its own end hands them on.
    siginfo_t info{};
    while (relay_is_subreaper && waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid > 0 && info.si_pid != command && info.si_pid != watchdog) {
        waitpid(info.si_pid, nullptr, WNOHANG);
        info = {};
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

int end_tied(pid_t command)
{
    const int status = end_group_and_reap(command);
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

}  // namespace brindock
