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

enum class way { undecided, own_description, dont_wait, plain, one_page };

way chosen = way::undecided;
// The relay's own non-blocking description of standard output.
int own_output = -1;
// Cleared for good at the first refusal of vmsplice or splice: the bytes
// are then copied as any others.
bool moves_pages = true;

way choose_way()
{
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) != 0) {
        return way::plain;  // the write itself reports what is wrong
    }
    if (S_ISFIFO(output.st_mode) || S_ISCHR(output.st_mode)) {
        own_output = open_nonblocking_description(STDOUT_FILENO, output);
        return own_output >= 0 ? way::own_description : way::one_page;
    }
    if (S_ISSOCK(output.st_mode)) {
        return way::dont_wait;
    }
    return S_ISREG(output.st_mode) ? way::plain : way::one_page;
}

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

}  // namespace

int open_nonblocking_description(int fd, const struct stat& status)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
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

bool output_takes_pages()
{
    prepare_output();
    return moves_pages;
}

void prepare_output()
{
    if (chosen == way::undecided) {
        chosen = choose_way();
        moves_pages = chosen == way::own_description && is_pipe(own_output);
    }
}

ssize_t write_what_fits(const unsigned char* data, std::size_t length)
{
    prepare_output();
    switch (chosen) {
        case way::own_description:
            return write(own_output, data, length);
        case way::dont_wait: {
            const ssize_t sent = send(STDOUT_FILENO, data, length, MSG_DONTWAIT);
            if (sent >= 0 || !must_take_plain_path()) {
                return sent;
            }
            chosen = way::one_page;
            return write_when_room(STDOUT_FILENO, data, length);
        }
        case way::one_page:
            return write_when_room(STDOUT_FILENO, data, length);
        default:
            return write(STDOUT_FILENO, data, length);
    }
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
    return unless_refused(vmsplice(own_output, &pages, 1, SPLICE_F_NONBLOCK));
}

ssize_t send_file_what_fits(int fd, std::uint64_t offset, std::size_t length)
{
    auto at = static_cast<loff_t>(offset);
    return unless_refused(splice(fd, &at, own_output, nullptr, length, SPLICE_F_NONBLOCK));
}

void close_output()
{
    if (own_output >= 0) {
        close(own_output);
        own_output = -1;
    }
    chosen = way::plain;
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
