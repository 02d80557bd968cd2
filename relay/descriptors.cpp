#include "relay/descriptors.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace brindock {

void open_missing_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is taken, which is `fd` itself since the
        // ones below it are open by now. Inherited on purpose: the child's
        // standard error may be this very descriptor.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

bool only_had_to_wait()
{
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

bool must_take_plain_path()
{
    // A sandbox or an emulation layer may refuse such a call with any error at
    // all (ENOSYS, EPERM, EINVAL...), so only the answers that say something
    // about the descriptors themselves keep the call in use.
    return !only_had_to_wait() && errno != EPIPE && errno != ECONNRESET;
}

bool wait_for_any(pollfd* watched, nfds_t count)
{
    while (poll(watched, count, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void wait_for_room(int fd)
{
    if (errno != EINTR) {
        struct pollfd room = {fd, POLLOUT, 0};
        wait_for_any(&room, 1);
    }
}

bool write_fully(int fd, const unsigned char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && only_had_to_wait()) {
            wait_for_room(fd);
        } else {
            return false;
        }
    }
    return true;
}

bool give_fully(int fd, const unsigned char* data, std::size_t length)
{
    // Cleared for good at the first descriptor that is no pipe, or the first
    // refusal; write_fully does the rest.
    static bool takes_pages = true;
    while (length > 0 && takes_pages) {
        struct iovec pages {
            const_cast<unsigned char*>(data), length
        };
        const ssize_t given = vmsplice(fd, &pages, 1, 0);
        if (given > 0) {
            data += given;
            length -= static_cast<std::size_t>(given);
        } else if (given < 0 && only_had_to_wait()) {
            wait_for_room(fd);
        } else if (given < 0 && must_take_plain_path()) {
            takes_pages = false;
        } else {
            return false;
        }
    }
    return write_fully(fd, data, length);
}

}  // namespace brindock
