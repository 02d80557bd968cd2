#include "relay/tied_mode.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "relay/child_exit.hpp"
#include "relay/descriptors.hpp"

#ifndef BRINDOCK_TIED_GRACE_MS
#define BRINDOCK_TIED_GRACE_MS 3000
#endif

namespace brindock {
namespace {

// How long what is left of the group has to end after SIGTERM.
constexpr long grace_ms = BRINDOCK_TIED_GRACE_MS;
constexpr long check_interval_ms = 10;
// Where the watchdog keeps its end of the pipe; 0 to 2 go to /dev/null.
constexpr int watchdog_pipe_fd = 3;

// The relay's end of the pipe to the watchdog; closing it starts the ending.
volatile int watchdog_pipe = -1;
volatile pid_t watchdog = -1;

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

// True when the process whose /proc entry is `name` is in `group` and has
// not ended: a zombie waiting to be reaped by its parent counts as gone.
bool is_live_member(int proc, const char* name, pid_t group)
{
    char stat_path[64] = {};
    std::size_t length = 0;
    for (; length < 32 && name[length] != '\0'; ++length) {
        stat_path[length] = name[length];
    }
    std::memcpy(stat_path + length, "/stat", 6);
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

// True once nothing of `group` runs any more. Zombies do not count, so the
// answer does not wait for whoever reaps them. Without /proc, any member does.
bool group_is_gone(pid_t group)
{
    if (kill(-group, 0) != 0 && errno == ESRCH) {
        return true;
    }
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    bool live = false;
    alignas(8) char entries[4096];
    long got = 0;
    while (!live && (got = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        for (long at = 0; at < got && !live;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            live = entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
                   is_live_member(proc, entry->d_name, group);
            at += entry->d_reclen;
        }
    }
    close(proc);
    return !live;
}

// Ends the group: SIGTERM, then SIGKILL if anything is left after the grace
// period. Async-signal-safe, like all of the watchdog.
void end_group(pid_t group)
{
    kill(-group, SIGTERM);
    const struct timespec interval {
        0, check_interval_ms * 1000000
    };
    for (long waited = 0; waited < grace_ms && !group_is_gone(group); waited += check_interval_ms) {
        nanosleep(&interval, nullptr);
    }
    if (!group_is_gone(group)) {
        kill(-group, SIGKILL);
    }
}

// Keeps the pipe as descriptor 3, /dev/null (or nothing, without one) as
// standard input, output and error, and nothing else of the relay's.
void keep_only_pipe(int pipe_end)
{
    if (pipe_end != watchdog_pipe_fd) {
        dup2(pipe_end, watchdog_pipe_fd);
    }
    close_descriptors_from(watchdog_pipe_fd + 1);
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
    pid_t group = 0;
    ssize_t got = 0;
    while ((got = read(watchdog_pipe_fd, &group, sizeof group)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof group) || group <= 0) {
        _exit(0);  // the relay ended before its command started
    }
    // Nothing more is ever written: the next read returns at the relay's end.
    for (char rest = 0;;) {
        got = read(watchdog_pipe_fd, &rest, 1);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
    }
    end_group(group);
    _exit(0);
}

// Closes the pipe and waits for the watchdog to have ended the group. The
// command is reaped first, so that it does not linger in its group as a
// zombie the watchdog would wait for. Async-signal-safe.
int end_group_and_reap(pid_t command)
{
    int status = 0;
    if (watchdog_pipe >= 0) {
        close(watchdog_pipe);
        watchdog_pipe = -1;
    }
    if (command > 0 && !command_status(status)) {
        while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
        }
    }
    while (watchdog > 0 && waitpid(watchdog, nullptr, 0) < 0 && errno == EINTR) {
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
    const char* value = std::getenv("BRINDOCK_TIED");
    const bool tied = value != nullptr && std::strcmp(value, "1") == 0;
    unsetenv("BRINDOCK_TIED");
    return tied;
}

int start_watchdog()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        run_watchdog(ends[0]);
    }
    close(ends[0]);
    if (pid < 0) {
        close(ends[1]);
        return -1;
    }
    watchdog = pid;
    watchdog_pipe = ends[1];
    return ends[1];
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
