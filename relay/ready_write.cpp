#include "relay/ready_write.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "relay/descriptors.hpp"

namespace brindock {
namespace {

enum class way { undecided, own_description, dont_wait, plain, one_page };

way chosen = way::undecided;
// The relay's own non-blocking description of the pipe on standard output.
int own_output = -1;

// Opens the pipe on standard output anew, non-blocking; -1 where that cannot
// be done (no /proc, no reader left, a sandbox that refuses it).
int open_own_description(const struct stat& output)
{
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_ino != output.st_ino ||
                    opened.st_dev != output.st_dev)) {
        close(fd);
        return -1;
    }
    return fd;
}

way choose_way()
{
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) != 0) {
        return way::plain;  // the write itself reports what is wrong
    }
    if (S_ISFIFO(output.st_mode)) {
        own_output = open_own_description(output);
        return own_output >= 0 ? way::own_description : way::one_page;
    }
    return S_ISSOCK(output.st_mode) ? way::dont_wait : way::plain;
}

// A pipe that poll finds writable has room for at least one page, which a
// write of at most PIPE_BUF bytes takes without waiting. An error or a lost
// reader is left to the write to report, as any write would.
ssize_t write_one_page(const unsigned char* data, std::size_t length)
{
    struct pollfd room = {STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&room, 1, 0);
    if (ready < 0) {
        return -1;
    }
    if (ready == 0) {
        errno = EAGAIN;
        return -1;
    }
    return write(STDOUT_FILENO, data, std::min<std::size_t>(length, PIPE_BUF));
}

}  // namespace

ssize_t write_what_fits(const unsigned char* data, std::size_t length)
{
    if (chosen == way::undecided) {
        chosen = choose_way();
    }
    switch (chosen) {
        case way::own_description:
            return write(own_output, data, length);
        case way::dont_wait: {
            const ssize_t sent = send(STDOUT_FILENO, data, length, MSG_DONTWAIT);
            if (sent >= 0 || !must_take_plain_path()) {
                return sent;
            }
            chosen = way::one_page;
            return write_one_page(data, length);
        }
        case way::one_page:
            return write_one_page(data, length);
        default:
            return write(STDOUT_FILENO, data, length);
    }
}

}  // namespace brindock
