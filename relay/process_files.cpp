#include "relay/process_files.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace brindock {
namespace {

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

// Just past the number at `at`, which may open with blanks; its value to `value`.
const char* take_number(const char* at, long& value)
{
    while (*at == ' ') {
        ++at;
    }
    value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + (*at - '0');
    }
    return at;
}

// Reads a line of /proc/<pid>/stat, NUL-ended, into `line`; returns just past
// the name, which may hold anything, even ')', or nullptr.
const char* read_stat_line(int proc, const char* path, char* line, std::size_t size)
{
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    const ssize_t got = read(fd, line, size - 1);
    close(fd);
    if (got <= 0) {
        return nullptr;
    }
    line[got] = '\0';
    const char* after_name = std::strrchr(line, ')');
    return after_name != nullptr && got - (after_name - line) >= 4 ? after_name + 1 : nullptr;
}

// Takes the numbers of a "children" file into `into`.
void take_children(int fd, pid_t* into, std::size_t room, std::size_t& count, bool& whole)
{
    char list[4096];
    long child = 0;
    ssize_t got = 0;
    while ((got = read(fd, list, sizeof list)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (list[i] >= '0' && list[i] <= '9') {
                child = child * 10 + (list[i] - '0');
                continue;
            }
            if (child > 0 && count < room) {
                into[count++] = static_cast<pid_t>(child);
            } else if (child > 0) {
                whole = false;
            }
            child = 0;
        }
    }
    whole = whole && got == 0;
}

}  // namespace

int open_proc()
{
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc >= 0 && faccessat(proc, "self/stat", F_OK, 0) != 0) {
        close(proc);
        return -1;
    }
    return proc;
}

bool read_process_stat(int proc, long pid, process_stat& stat)
{
    char path[32];
    std::memcpy(put_number(path, pid), "/stat", 6);
    char line[512];
    const char* field = read_stat_line(proc, path, line, sizeof line);
    if (field == nullptr) {
        return false;
    }
    // " state ppid pgrp ..."
    stat.state = field[1];
    take_number(take_number(field + 2, stat.parent), stat.group);
    return true;
}

long own_start_time()
{
    char line[1024];
    const char* field = read_stat_line(AT_FDCWD, "/proc/self/stat", line, sizeof line);
    // The start time is the 22nd field, the 20th after the name.
    for (int skipped = 0; field != nullptr && skipped < 19; ++skipped) {
        field = std::strchr(field + 1, ' ');
    }
    long start = 0;
    if (field != nullptr) {
        take_number(field, start);
    }
    return start;
}

std::size_t list_children(int proc, long pid, pid_t* into, std::size_t room, bool& whole)
{
    char path[96];
    char* at = put_number(path, pid);
    std::memcpy(at, "/task", 6);
    const int tasks = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) {
        return 0;  // ended meanwhile
    }
    std::size_t count = 0;
    alignas(8) char entries[4096];
    long got = 0;
    while ((got = syscall(SYS_getdents64, tasks, entries, sizeof entries)) > 0) {
        for (long entry = 0; entry < got;) {
            // struct linux_dirent64: inode, offset, record length, type, name.
            unsigned short record = 0;
            std::memcpy(&record, entries + entry + 16, sizeof record);
            const char* name = entries + entry + 19;
            entry += record;
            if (name[0] < '0' || name[0] > '9') {
                continue;
            }
            const std::size_t name_length = std::strlen(name);
            if (name_length >= 64) {
                whole = false;
                continue;
            }
            char file[96] = "";
            std::memcpy(file, name, name_length + 1);
            std::memcpy(file + name_length, "/children", sizeof "/children");
            const int fd = openat(tasks, file, O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                whole = whole && faccessat(tasks, name, F_OK, 0) != 0;  // a thread that ended
                continue;
            }
            take_children(fd, into, room, count, whole);
            close(fd);
        }
    }
    whole = whole && got == 0;
    close(tasks);
    return count;
}

}  // namespace brindock
