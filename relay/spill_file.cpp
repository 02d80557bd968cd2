#include "relay/spill_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "relay/descriptors.hpp"
#include "relay/ready_write.hpp"

namespace brindock {
namespace {

// Longest path of a named fallback file, template included.
constexpr std::size_t max_path_size = 4096;

// Largest single request to move the file's pages; the kernel moves far less per call anyway.
constexpr std::size_t max_send_size = std::size_t{1} << 30;

// An unnamed file in `dir`: O_TMPFILE where the file system has it, otherwise a
// named one that loses its name at once. -1 when neither can be made.
int open_unnamed_file(const char* dir)
{
    const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    char path[max_path_size];
    const int length = std::snprintf(path, sizeof path, "%s/brindock-XXXXXX", dir);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return -1;
    }
    const int named = mkostemp(path, O_CLOEXEC);
    if (named >= 0 && unlink(path) != 0) {
        close(named);
        return -1;
    }
    return named;
}

// Free bytes that the file's file system must keep: 1 GiB, or 5 % of a larger one.
constexpr std::uint64_t min_reserve = std::uint64_t{1} << 30;

// Bytes the file system under `fd` has free above its reserve; none when that
// cannot be known.
std::uint64_t room_above_reserve(int fd)
{
    struct statvfs fs {};
    if (fstatvfs(fd, &fs) != 0) {
        return 0;
    }
    const std::uint64_t free_bytes = std::uint64_t{fs.f_bavail} * fs.f_frsize;
    const std::uint64_t reserve =
        std::max(min_reserve, std::uint64_t{fs.f_blocks} * fs.f_frsize / 20);
    return free_bytes > reserve ? free_bytes - reserve : 0;
}

// An unnamed file in `dir` whose file system is not yet at its reserve; -1 otherwise.
int open_file_with_room(const char* dir)
{
    const int fd = open_unnamed_file(dir);
    if (fd >= 0 && room_above_reserve(fd) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// $TMPDIR when it is set, as the user's own choice; otherwise, and wherever no
// file with room can be made, /var/tmp, which is meant to be on disk, then
// /tmp, which is often in memory.
int open_spill_file()
{
    const char* dir = secure_getenv("TMPDIR");
    int fd = dir != nullptr && *dir != '\0' ? open_file_with_room(dir) : -1;
    for (const char* fallback : {"/var/tmp", "/tmp"}) {
        if (fd < 0) {
            fd = open_file_with_room(fallback);
        }
    }
    return fd;
}

// The soft limit on the size of files this process writes: past it a write
// raises SIGXFSZ, which would end the relay with everything it holds.
std::uint64_t file_size_limit()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    return limit.rlim_cur;
}

// How many of `length` more bytes the file may take: up to its cap and the
// file size limit, and while its file system keeps the reserve free.
std::size_t allowed_growth(const spill_file& spill, std::size_t length)
{
    const std::uint64_t cap = std::min(spill.cap, file_size_limit());
    const std::uint64_t below_cap = cap > spill.size ? cap - spill.size : 0;
    const std::uint64_t allowed = std::min(below_cap, room_above_reserve(spill.fd));
    return static_cast<std::size_t>(std::min<std::uint64_t>(length, allowed));
}

// Writes at the file's end, completing short writes; returns how many bytes
// were written before a failure. The file is read back through the same
// offset, so each append places it first.
std::size_t write_at_end(int fd, std::uint64_t end, const unsigned char* data, std::size_t length)
{
    if (length == 0 || lseek(fd, static_cast<off_t>(end), SEEK_SET) < 0) {
        return 0;
    }
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = write(fd, data + done, length - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

// Touched only when the file is read back, so it costs no memory otherwise.
unsigned char chunk[65536];

// Reads the file from `offset` into `chunk`, at most up to `end`: the count
// read, 0 or less when it cannot be read back.
ssize_t read_back(int fd, std::uint64_t offset, std::uint64_t end)
{
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return -1;
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, end - offset));
    ssize_t got = 0;
    do {
        got = read(fd, chunk, wanted);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Sends what standard output takes now of the bytes from `offset` to `end`:
// moved from the page cache where it takes pages, else read back and copied.
ssize_t send_what_fits(int fd, std::uint64_t offset, std::uint64_t end)
{
    if (output_takes_pages()) {
        return send_file_what_fits(
            fd, offset,
            static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, max_send_size)));
    }
    const ssize_t got = read_back(fd, offset, end);
    if (got <= 0) {
        return got;
    }
    return write_what_fits(chunk, static_cast<std::size_t>(got));
}

}  // namespace

std::size_t spill_append(spill_file& spill, const unsigned char* data, std::size_t length)
{
    if (spill.stopped) {
        return 0;
    }
    if (spill.fd < 0 && spill.cap > 0) {
        spill.fd = open_spill_file();
    }
    const std::size_t allowed = spill.fd >= 0 ? allowed_growth(spill, length) : 0;
    const std::size_t stored = write_at_end(spill.fd, spill.size, data, allowed);
    spill.size += stored;
    spill.stopped = stored < length;
    return stored;
}

bool spill_send_ready(spill_file& spill, std::uint64_t& budget, bool drop)
{
    while (spill.sent < spill.size) {
        if (budget == 0) {
            errno = EAGAIN;
            return false;
        }
        const std::uint64_t end = spill.sent + std::min(spill.size - spill.sent, budget);
        const ssize_t written = drop ? static_cast<ssize_t>(end - spill.sent)
                                     : send_what_fits(spill.fd, spill.sent, end);
        if (written == 0) {
            errno = EIO;  // a file cut short is a failure, not a wait
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        spill.sent += static_cast<std::uint64_t>(written);
        budget -= static_cast<std::uint64_t>(written);
    }
    // Emptied, the file takes output again from its start, within its bounds
    // as they stand now.
    if (spill.size > 0 && ftruncate(spill.fd, 0) == 0) {
        spill.size = spill.sent = 0;
        spill.stopped = false;
    }
    return true;
}

void spill_drop(spill_file& spill)
{
    if (spill.fd >= 0) {
        close(spill.fd);
        spill.fd = -1;
    }
    spill.stopped = true;
}

}  // namespace brindock
