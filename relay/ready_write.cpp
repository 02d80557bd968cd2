#include "relay/ready_write.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "relay/descriptors.hpp"

namespace brindock {
namespace {

unwaiting_output standard_output{STDOUT_FILENO};
// Cleared for good at the first refusal of vmsplice or splice: the bytes
// are then copied as any others.
bool moves_pages = true;

// The result of a page-moving call as it came, but that a refusal turns page
// moving off for good and reads as an interrupted call: nothing was written,
// and the next try takes the plain path.
ssize_t unless_refused(ssize_t moved)
{
    if (moved < 0 && must_take_plain_path()) {
        moves_pages = false;
        errno = EINTR;
    }
    return moved;
}

bool is_pipe(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
}

// Decided at the first write, so that a descriptor nothing is written to
// costs nothing.
void choose_way(unwaiting_output& output)
{
    output.way = write_way::plain;  // where fstat fails, the write reports what is wrong
    struct stat status {};
    if (fstat(output.fd, &status) != 0) {
        return;
    }
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
        output.own = open_nonblocking_description(output.fd, status);
        output.way = output.own >= 0 ? write_way::own_description : write_way::when_room;
    } else if (S_ISSOCK(status.st_mode)) {
        output.way = write_way::dont_wait;
    } else if (!S_ISREG(status.st_mode)) {
        output.way = write_way::when_room;
    }
}

}  // namespace

int open_nonblocking_description(int fd, const struct stat& status)
{
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int opened = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat found {};
    if (opened >= 0 && (fstat(opened, &found) != 0 || found.st_ino != status.st_ino ||
                        found.st_dev != status.st_dev || found.st_rdev != status.st_rdev)) {
        close(opened);
        return -1;
    }
    return opened;
}

// A descriptor that poll finds writable has room for at least one page, which
// a write of at most PIPE_BUF bytes to a pipe takes without waiting. An error
// or a lost reader is left to the write to report, as any write would.
ssize_t write_when_room(int fd, const unsigned char* data, std::size_t length)
{
    struct pollfd room = {fd, POLLOUT, 0};
    const int ready = poll(&room, 1, 0);
    if (ready < 0) {
        return -1;
    }
    if (ready == 0) {
        errno = EAGAIN;
        return -1;
    }
    return write(fd, data, std::min<std::size_t>(length, PIPE_BUF));
}

ssize_t write_unwaiting(unwaiting_output& output, const unsigned char* data, std::size_t length)
{
    if (output.way == write_way::undecided) {
        choose_way(output);
    }
    switch (output.way) {
        case write_way::own_description:
            return write(output.own, data, length);
        case write_way::dont_wait: {
            const ssize_t sent = send(output.fd, data, length, MSG_DONTWAIT);
            if (sent >= 0 || !must_take_plain_path()) {
                return sent;
            }
            output.way = write_way::when_room;
            return write_when_room(output.fd, data, length);
        }
        case write_way::when_room:
            return write_when_room(output.fd, data, length);
        default:
            return write(output.fd, data, length);
    }
}

bool output_takes_pages()
{
    prepare_output();
    return moves_pages;
}

void prepare_output()
{
    if (standard_output.way == write_way::undecided) {
        choose_way(standard_output);
        moves_pages =
            standard_output.way == write_way::own_description && is_pipe(standard_output.own);
    }
}

ssize_t write_what_fits(const unsigned char* data, std::size_t length)
{
    prepare_output();
    return write_unwaiting(standard_output, data, length);
}

ssize_t give_what_fits(const unsigned char* data, std::size_t length)
{
    prepare_output();
    if (!moves_pages) {
        return write_what_fits(data, length);
    }
    struct iovec pages {
        const_cast<unsigned char*>(data), length
    };
    return unless_refused(vmsplice(standard_output.own, &pages, 1, SPLICE_F_NONBLOCK));
}

ssize_t send_file_what_fits(int fd, std::uint64_t offset, std::size_t length)
{
    auto at = static_cast<loff_t>(offset);
    return unless_refused(splice(fd, &at, standard_output.own, nullptr, length, SPLICE_F_NONBLOCK));
}

void close_output()
{
    if (standard_output.own >= 0) {
        close(standard_output.own);
        standard_output.own = -1;
    }
    standard_output.way = write_way::plain;
    moves_pages = false;
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        close(STDOUT_FILENO);
        return;
    }
    if (null_fd != STDOUT_FILENO) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

}  // namespace brindock
