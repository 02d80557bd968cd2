#include "relay/control_group.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "relay/group_location.hpp"
#include "relay/process_files.hpp"
#include "relay/process_handles.hpp"

namespace brindock {
namespace {

// Members are signalled this many at a time, each batch through process
// descriptors opened before the group's list is read again.
constexpr std::size_t signal_batch = 64;
// The group's state is read again at least this often while waiting, should a
// change of cgroup.events go unreported.
constexpr int longest_event_wait_ms = 100;
// Groups made below the command's (by a nested tied relay, say) are removed
// down to this depth.
constexpr int deepest_removal = 16;
// A name taken meanwhile by another relay is tried again with a new random
// part this many times at most.
constexpr int naming_attempts = 8;

// The member lists of a signalling: the first read, and the one that confirms
// it. Members beyond what they hold (thousands) are not sent SIGTERM, only the
// kill at the end of the grace period.
char listing[65536];
char confirming[65536];

// Just past the decimal number at `at`, whose value goes to `value`.
const char* parse_number(const char* at, long& value)
{
    value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + (*at - '0');
    }
    return at;
}

// True when the list of numbers, one per line, holds `wanted`.
bool list_holds(const char* list, long wanted)
{
    while (*list != '\0') {
        long value = 0;
        list = parse_number(list, value);
        if (value == wanted) {
            return true;
        }
        list += *list != '\0' ? 1 : 0;
    }
    return false;
}

// Eight random bytes from the kernel, or where it gives none, from the clock:
// the process number and start time already tell relays apart, this keeps a
// reused name from being guessed.
std::uint64_t random_part()
{
    std::uint64_t value = 0;
    if (syscall(SYS_getrandom, &value, sizeof value, 1 /* GRND_NONBLOCK */) ==
        static_cast<long>(sizeof value)) {
        return value;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^
           static_cast<std::uint64_t>(now.tv_sec);
}

// brindock-<pid>-<start time>-<random>. The pid alone repeats across pid
// namespaces, and after reuse; with its start time, two live relays never
// share it; the random part covers relays with the same number in two pid
// namespaces that started in the same clock tick.
void choose_name(char* name, std::size_t size)
{
    const long start = own_start_time();
    (void)std::snprintf(name, size, "brindock-%ld-%ld-%016llx", static_cast<long>(getpid()), start,
                        static_cast<unsigned long long>(random_part()));
}

long milliseconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// True unless cgroup.events says the group and those below it hold no
// process; zombies do not count. A file that cannot be read counts as populated.
bool is_populated(int events)
{
    char state[256];
    ssize_t got = 0;
    while ((got = pread(events, state, sizeof state - 1, 0)) < 0 && errno == EINTR) {
    }
    if (got <= 0) {
        return true;
    }
    state[got] = '\0';
    return std::strstr(state, "populated 0") == nullptr;
}

// Waits until the group is empty or `bound_ms` have passed. Returns true once empty.
bool wait_until_empty(int events, long bound_ms)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (!is_populated(events)) {
            return true;
        }
        const long left_ms = bound_ms - milliseconds_since(start);
        if (left_ms <= 0) {
            return false;
        }
        // A change of the file is reported as an exceptional condition.
        pollfd change{events, POLLPRI, 0};
        poll(&change, 1, static_cast<int>(std::min<long>(left_ms, longest_event_wait_ms)));
    }
}

// Sends `signal_number` to the members listed from `first` on, `signal_batch`
// at most; returns where the next batch starts. Each is opened as a process
// descriptor first, and signalled only if the group's list, read again after
// that, still holds its number: a number read once may since have been given
// to a process outside the group, but not while the process opened still
// lives, and a descriptor of one that has ended only refuses the signal.
const char* signal_batch_from(int group, const char* first, int signal_number)
{
    int process[signal_batch];
    long number[signal_batch];
    std::size_t count = 0;
    while (*first != '\0' && count < signal_batch) {
        long pid = 0;
        first = parse_number(first, pid);
        first += *first != '\0' ? 1 : 0;
        const int fd = pid > 0 ? open_process(static_cast<pid_t>(pid)) : -1;
        if (fd >= 0) {
            process[count] = fd;
            number[count++] = pid;
        }
    }
    const bool confirmed = read_whole(group, "cgroup.procs", confirming, sizeof confirming) >= 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (confirmed && list_holds(confirming, number[i])) {
            signal_process(process[i], signal_number);
        }
        close(process[i]);
    }
    return first;
}

// The kernel's kill of the whole group, or before 5.14, SIGKILL to each member
// until none is left; then a wait for the group to be empty, `bound_ms` at most.
void kill_members(const command_group& group, int events, long bound_ms)
{
    const int kill_switch = openat(group.dir, "cgroup.kill", O_WRONLY | O_CLOEXEC);
    const bool killed = kill_switch >= 0 && write(kill_switch, "1", 1) == 1;
    if (kill_switch >= 0) {
        close(kill_switch);
    }
    if (killed) {
        wait_until_empty(events, bound_ms);
        return;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long left_ms = bound_ms;
    do {
        signal_group_members(group, SIGKILL);
        left_ms = bound_ms - milliseconds_since(start);
    } while (left_ms > 0 && !wait_until_empty(events, std::min(left_ms, 10L)));
}

// The names of the directories in `dir`, NUL-separated, into `names`; raw
// system calls only. Returns false when they do not all fit or cannot be read.
bool list_subdirectories(int dir, char* names, std::size_t size)
{
    alignas(8) char entries[4096];
    std::size_t length = 0;
    names[0] = '\0';
    long got = 0;
    while ((got = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0) {
        for (long at = 0; at < got;) {
            // struct linux_dirent64: inode, offset, record length, type, name.
            unsigned short record = 0;
            std::memcpy(&record, entries + at + 16, sizeof record);
            const char type = entries[at + 18];
            const char* name = entries + at + 19;
            const std::size_t name_length = std::strlen(name) + 1;
            if (type == 4 /* DT_DIR */ && std::strcmp(name, ".") != 0 &&
                std::strcmp(name, "..") != 0) {
                if (length + name_length >= size) {
                    return false;
                }
                std::memcpy(names + length, name, name_length);
                length += name_length;
                names[length] = '\0';
            }
            at += record;
        }
    }
    return got == 0;
}

// Removes the groups below the one open on `dir`, those below them first.
void remove_groups_below(int dir, int depth)
{
    char below[1024];
    if (depth >= deepest_removal || !list_subdirectories(dir, below, sizeof below)) {
        return;
    }
    for (const char* child = below; *child != '\0'; child += std::strlen(child) + 1) {
        const int child_dir = openat(dir, child, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (child_dir >= 0) {
            remove_groups_below(child_dir, depth + 1);
            close(child_dir);
        }
        unlinkat(dir, child, AT_REMOVEDIR);
    }
}

}  // namespace

bool make_command_group(const char* parent_path, command_group& group)
{
    // Members are only ever signalled through process descriptors: where they
    // cannot be had, SIGTERM could not reach them, so there is no group.
    const int self = open_process(getpid());
    if (self < 0) {
        return false;
    }
    close(self);
    group.parent = open(parent_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool made = false;
    for (int attempt = 0; group.parent >= 0 && !made && attempt < naming_attempts; ++attempt) {
        choose_name(group.name, sizeof group.name);
        made = mkdirat(group.parent, group.name, 0755) == 0;
        if (!made && errno != EEXIST) {
            break;
        }
    }
    group.dir = made ? openat(group.parent, group.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (made && group.dir < 0) {
        unlinkat(group.parent, group.name, AT_REMOVEDIR);
    }
    if (group.dir < 0 && group.parent >= 0) {
        close(group.parent);
        group.parent = -1;
    }
    return group.dir >= 0;
}

void signal_group_members(const command_group& group, int signal_number)
{
    if (group.dir < 0 || read_whole(group.dir, "cgroup.procs", listing, sizeof listing) < 0) {
        return;
    }
    for (const char* next = listing; *next != '\0';) {
        next = signal_batch_from(group.dir, next, signal_number);
    }
}

void end_command_group(const command_group& group, long grace_ms)
{
    const int events = openat(group.dir, "cgroup.events", O_RDONLY | O_CLOEXEC);
    if (events >= 0 && is_populated(events)) {
        signal_group_members(group, SIGTERM);
        signal_group_members(group, SIGCONT);
        if (!wait_until_empty(events, grace_ms)) {
            kill_members(group, events, grace_ms);
        }
    }
    if (events >= 0) {
        close(events);
    }
    remove_command_group(group);
}

void remove_command_group(const command_group& group)
{
    if (group.dir < 0) {
        return;
    }
    remove_groups_below(group.dir, 0);
    unlinkat(group.parent, group.name, AT_REMOVEDIR);
}

}  // namespace brindock
