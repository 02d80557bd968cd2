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
#include <cstdio>
#include <cstring>

// Kernel headers before 5.3 lack the numbers, which are the same on every
// architecture but alpha; a kernel without the calls refuses them with ENOSYS.
#if !defined(SYS_pidfd_open) && !defined(__alpha__)
#define SYS_pidfd_open 434
#endif
#if !defined(SYS_pidfd_send_signal) && !defined(__alpha__)
#define SYS_pidfd_send_signal 424
#endif

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

// The member lists of the watchdog's signalling: the first read, and the one
// that confirms it. Members beyond what they hold (thousands) are not sent
// SIGTERM, only the kill at the end of the grace period.
char listing[65536];
char confirming[65536];

// Reads what a file of the hierarchy or /proc holds, up to `size` - 1 bytes,
// and ends it with a NUL; a file longer than that is cut after its last whole
// line, so that no number is taken for a shorter one. Returns the length, or -1.
long read_whole(int dir, const char* name, char* buffer, std::size_t size)
{
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::size_t length = 0;
    ssize_t got = 0;
    while (length < size - 1 && ((got = read(fd, buffer + length, size - 1 - length)) > 0 ||
                                 (got < 0 && errno == EINTR))) {
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    close(fd);
    if (length == size - 1) {
        while (length > 0 && buffer[length - 1] != '\n') {
            --length;
        }
    }
    buffer[length] = '\0';
    return got < 0 ? -1 : static_cast<long>(length);
}

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

// Copies `text` to `to` at `length`, within `size`; false when it does not fit.
bool append(char* to, std::size_t size, std::size_t& length, const char* text, std::size_t count)
{
    if (length + count >= size) {
        return false;
    }
    std::memcpy(to + length, text, count);
    length += count;
    to[length] = '\0';
    return true;
}

// Appends a path as /proc/self/mountinfo writes it, with \ooo for blanks and
// backslashes, as the path itself.
bool append_unescaped(char* to, std::size_t size, std::size_t& length, const char* field,
                      std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        char c = field[i];
        if (c == '\\' && i + 3 < count && field[i + 1] >= '0' && field[i + 1] <= '3') {
            c = static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                  (field[i + 3] - '0'));
            i += 3;
        }
        if (!append(to, size, length, &c, 1)) {
            return false;
        }
    }
    return true;
}

// The `index`th field of a line of blank-separated fields, and its length.
const char* field_of(const char* line, int index, std::size_t& count)
{
    for (; index > 0 && line != nullptr; --index) {
        line = std::strchr(line, ' ');
        line = line != nullptr ? line + 1 : nullptr;
    }
    if (line == nullptr) {
        return nullptr;
    }
    count = std::strcspn(line, " \n");
    return line;
}

// The cgroup v2 mount from the lines of mountinfo: its mount point, unescaped,
// in `mount` and the part of the hierarchy it shows in `root`.
bool find_cgroup2_mount(char* text, char* mount, char* root, std::size_t size)
{
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* next = std::strchr(line, '\n');
        if (next != nullptr) {
            *next++ = '\0';
        }
        const char* type = std::strstr(line, " - cgroup2 ");
        std::size_t root_count = 0;
        std::size_t mount_count = 0;
        const char* root_field = field_of(line, 3, root_count);
        const char* mount_field = field_of(line, 4, mount_count);
        std::size_t root_length = 0;
        std::size_t mount_length = 0;
        if (type != nullptr && root_field != nullptr && mount_field != nullptr &&
            append_unescaped(root, size, root_length, root_field, root_count) &&
            append_unescaped(mount, size, mount_length, mount_field, mount_count)) {
            return true;
        }
        line = next;
    }
    return false;
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
        const int fd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
        if (fd >= 0) {
            process[count] = fd;
            number[count++] = pid;
        }
    }
    const bool confirmed = read_whole(group, "cgroup.procs", confirming, sizeof confirming) >= 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (confirmed && list_holds(confirming, number[i])) {
            syscall(SYS_pidfd_send_signal, process[i], signal_number, nullptr, 0);
        }
        close(process[i]);
    }
    return first;
}

void signal_members(int group, int signal_number)
{
    if (read_whole(group, "cgroup.procs", listing, sizeof listing) < 0) {
        return;
    }
    for (const char* next = listing; *next != '\0';) {
        next = signal_batch_from(group, next, signal_number);
    }
}

// The kernel's kill of the whole group, or before 5.14, SIGKILL to each member
// until none is left; then a wait for the group to be empty, `bound_ms` at most.
void kill_members(int group, int events, long bound_ms)
{
    const int kill_switch = openat(group, "cgroup.kill", O_WRONLY | O_CLOEXEC);
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
        signal_members(group, SIGKILL);
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
            if (type == 4 /* DT_DIR */ && std::strcmp(name, ".") != 0 &&
                std::strcmp(name, "..") != 0 &&
                !append(names, size, length, name, std::strlen(name) + 1)) {
                return false;
            }
            at += record;
        }
    }
    return got == 0;
}

// Removes `name` in `parent`, groups below it first.
void remove_group_tree(int parent, const char* name, int depth)
{
    if (depth < deepest_removal) {
        const int dir = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        char below[1024];
        if (dir >= 0 && list_subdirectories(dir, below, sizeof below)) {
            for (const char* child = below; *child != '\0'; child += std::strlen(child) + 1) {
                remove_group_tree(dir, child, depth + 1);
            }
        }
        if (dir >= 0) {
            close(dir);
        }
    }
    unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

bool find_command_group_path(char* path, std::size_t size)
{
    static char text[65536];
    char mount[4096] = "";
    char root[4096] = "";
    if (read_whole(AT_FDCWD, "/proc/self/mountinfo", text, sizeof text) <= 0 ||
        !find_cgroup2_mount(text, mount, root, sizeof mount)) {
        return false;
    }
    // "0::/path": the relay's own group, as the hierarchy's root in this
    // namespace sees it; the mount may show only a part of it.
    if (read_whole(AT_FDCWD, "/proc/self/cgroup", text, sizeof text) <= 0) {
        return false;
    }
    const char* own = std::strstr(text, "0::/");
    const std::size_t root_length = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
    if (own == nullptr || (own != text && own[-1] != '\n') ||
        std::strncmp(own + 3, root, root_length) != 0) {
        return false;
    }
    own += 3 + root_length;
    const std::size_t own_length = std::strcspn(own, "\n");
    // The mount may show a sibling of the relay's group, not it; and a group
    // outside this namespace's view shows as one above its root.
    const char* above = std::strstr(own, "/..");
    if ((own_length > 0 && own[0] != '/') || (above != nullptr && above < own + own_length)) {
        return false;
    }
    char name[32];
    const int name_length =
        std::snprintf(name, sizeof name, "/brindock-%ld", static_cast<long>(getpid()));
    std::size_t length = 0;
    path[0] = '\0';
    return name_length > 0 && append(path, size, length, mount, std::strlen(mount)) &&
           append(path, size, length, own, own_length == 1 ? 0 : own_length) &&
           append(path, size, length, name, static_cast<std::size_t>(name_length));
}

int make_command_group(const char* path)
{
    // Members are only ever signalled through process descriptors: where they
    // cannot be had, SIGTERM could not reach them, so there is no group.
    const int self = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (self < 0) {
        return -1;
    }
    close(self);
    if (mkdir(path, 0755) != 0 &&
        !(errno == EEXIST && rmdir(path) == 0 && mkdir(path, 0755) == 0)) {
        return -1;
    }
    const int group = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (group < 0) {
        rmdir(path);
    }
    return group;
}

bool signal_group_members(int group, long member, int signal_number)
{
    if (read_whole(group, "cgroup.procs", listing, sizeof listing) < 0 ||
        !list_holds(listing, member)) {
        return false;
    }
    for (const char* next = listing; *next != '\0';) {
        next = signal_batch_from(group, next, signal_number);
    }
    return true;
}

void end_command_group(const char* path, long grace_ms)
{
    const int group = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int events = group >= 0 ? openat(group, "cgroup.events", O_RDONLY | O_CLOEXEC) : -1;
    if (events >= 0 && is_populated(events)) {
        signal_members(group, SIGTERM);
        signal_members(group, SIGCONT);
        if (!wait_until_empty(events, grace_ms)) {
            kill_members(group, events, grace_ms);
        }
    }
    if (events >= 0) {
        close(events);
    }
    if (group >= 0) {
        close(group);
    }
    remove_command_group(path);
}

void remove_command_group(const char* path)
{
    remove_group_tree(AT_FDCWD, path, 0);
}

}  // namespace brindock
