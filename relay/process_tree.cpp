#include "relay/process_tree.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "relay/process_files.hpp"
#include "relay/process_handles.hpp"

namespace brindock {
namespace {

// The most processes a walk keeps to look into at once; a tree wider than
// that is walked again until nothing is left of it.
constexpr std::size_t longest_walk = 1024;
// The tree is looked at 1 ms after a signal, then half as often each time, up
// to this.
constexpr long longest_check_interval_ms = 100;

// A process met on a walk: its number and a descriptor that pins it.
struct met_process {
    pid_t pid;
    int fd;
    long group;  // its process group when met
};

// One walk's state, on the caller's stack: nothing is shared between walks.
struct tree_walk {
    int proc;
    pid_t self;
    met_process met[longest_walk];  // found so far, in the order found
    std::size_t count;
    pid_t children[longest_walk];
};

// True while the process of `fd` is not yet reaped: its number is still its own.
bool unreaped(int fd)
{
    return signal_process(fd, 0) == 0;
}

// Opens child `pid` of `parent` (confirmed, pinned by `parent_fd`, or -1 for
// the walker itself, whose children keep their numbers until it reaps them)
// and confirms it; -1 where it has ended or is not the child it was.
int confirm_child(const tree_walk& walk, pid_t pid, pid_t parent, int parent_fd, process_stat& stat)
{
    const int fd = open_process(pid);
    if (fd < 0) {
        return -1;
    }
    if (!read_process_stat(walk.proc, pid, stat) || !unreaped(fd) ||
        (stat.parent != parent && stat.parent != walk.self) ||
        (parent_fd >= 0 && !unreaped(parent_fd))) {
        close(fd);
        return -1;
    }
    return fd;
}

// Keeps the live children of `parent`, confirmed and pinned, to be looked
// into and signalled.
void take_children_of(tree_walk& walk, pid_t parent, int parent_fd)
{
    bool whole = true;
    const std::size_t found = list_children(walk.proc, parent, walk.children, longest_walk, whole);
    for (std::size_t i = 0; i < found; ++i) {
        process_stat stat;
        const int fd = confirm_child(walk, walk.children[i], parent, parent_fd, stat);
        if (fd < 0) {
            continue;
        }
        if (stat.state != 'Z' && stat.state != 'X' && walk.count < longest_walk) {
            walk.met[walk.count++] = {walk.children[i], fd, stat.group};
        } else {
            close(fd);
        }
    }
}

// One walk through everything below the walker, signalling each live process,
// and the process group `group` (0: none) as well. The whole tree is found
// before anything is signalled: a process that ended at its signal would hand
// its children to the walker, whose own children have already been looked
// at, before they were seen. The group is the floor where the walker could
// not be made a subreaper (an emulator, a sandbox that refuses it): orphans
// then leave the tree, but not the group unless they ask to. Elsewhere the
// group is 0: the tree holds all of it.
void walk_tree(int proc, pid_t group, int first_signal, int second_signal)
{
    tree_walk walk;
    walk.proc = proc;
    walk.self = getpid();
    walk.count = 0;
    take_children_of(walk, walk.self, -1);
    for (std::size_t next = 0; next < walk.count; ++next) {
        take_children_of(walk, walk.met[next].pid, walk.met[next].fd);
    }
    // A member of the group gets its signals through the group, once.
    for (std::size_t i = 0; i < walk.count; ++i) {
        for (const int signal_number : {first_signal, second_signal}) {
            if (signal_number > 0 && (group <= 0 || walk.met[i].group != group)) {
                signal_process(walk.met[i].fd, signal_number);
            }
        }
        close(walk.met[i].fd);
    }
    for (const int signal_number : {first_signal, second_signal}) {
        if (group > 0 && signal_number > 0) {
            kill(-group, signal_number);
        }
    }
}

// True once every child of the walker has ended (or none is left): nothing
// below it runs. A list that cannot be read whole counts as running.
bool tree_is_gone(int proc)
{
    pid_t children[longest_walk];
    bool whole = true;
    const std::size_t found = list_children(proc, getpid(), children, longest_walk, whole);
    for (std::size_t i = 0; whole && i < found; ++i) {
        process_stat stat;
        whole =
            !read_process_stat(proc, children[i], stat) || stat.state == 'Z' || stat.state == 'X';
    }
    return whole;
}

long milliseconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Looks more and more seldom until the tree is gone or `bound_ms` have
// passed, walking it (and `group`) with `repeated` (SIGKILL, or 0 for none)
// before each look. Returns true once it is gone.
bool wait_until_gone(int proc, pid_t group, long bound_ms, int repeated)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long interval_ms = 1;;
         interval_ms = std::min(2 * interval_ms, longest_check_interval_ms)) {
        if (repeated > 0) {
            walk_tree(proc, group, repeated, -1);
        }
        if (tree_is_gone(proc)) {
            return true;
        }
        const long left_ms = bound_ms - milliseconds_since(start);
        if (left_ms <= 0) {
            return false;
        }
        const long nap_ms = std::min(interval_ms, left_ms);
        const timespec nap{nap_ms / 1000, nap_ms % 1000 * 1000000};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &nap, nullptr);
    }
}

// Without /proc nothing below can be found but the command's process group:
// the unreaped command keeps its number, and counts as running, so the group
// is given its grace period in full.
void end_process_group(pid_t command, long grace_ms)
{
    kill(-command, SIGTERM);
    kill(-command, SIGCONT);
    const timespec grace{grace_ms / 1000, grace_ms % 1000 * 1000000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &grace, nullptr);
    kill(-command, SIGKILL);
}

}  // namespace

void end_process_tree(pid_t command, long grace_ms, bool subreaper)
{
    // A subreaper's tree holds the whole group; otherwise the group is
    // signalled as well, and a member of both gets each signal twice.
    const pid_t group = subreaper ? 0 : command;
    const int proc = open_proc();
    if (proc < 0) {
        end_process_group(command, grace_ms);
        return;
    }
    if (tree_is_gone(proc)) {
        // What left the tree for want of a subreaper may still be in the group.
        if (!subreaper) {
            kill(-command, SIGTERM);
            kill(-command, SIGCONT);
        }
    } else {
        walk_tree(proc, group, SIGTERM, SIGCONT);
        if (!wait_until_gone(proc, group, grace_ms, 0)) {
            wait_until_gone(proc, group, grace_ms, SIGKILL);
        }
    }
    close(proc);
}

void signal_process_tree(int signal_number)
{
    const int proc = open_proc();
    if (proc >= 0) {
        walk_tree(proc, 0, signal_number, -1);
        close(proc);
    }
}

void reap_ended_children(pid_t keep)
{
    const int proc = open_proc();
    if (proc < 0) {
        return;
    }
    pid_t children[longest_walk];
    bool whole = true;
    const std::size_t found = list_children(proc, getpid(), children, longest_walk, whole);
    for (std::size_t i = 0; i < found; ++i) {
        if (children[i] != keep) {
            waitpid(children[i], nullptr, WNOHANG);
        }
    }
    close(proc);
}

}  // namespace brindock
