#include "relay/descriptors.hpp"

#include <fcntl.h>
#include <poll.h>
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

void wait_until_ready(int fd, short events)
{
    struct pollfd watched {
        fd, events, 0
    };
    poll(&watched, 1, -1);
}

bool write_fully(int fd, const unsigned char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && only_had_to_wait()) {
            if (errno != EINTR) {
                wait_until_ready(fd, POLLOUT);
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace brindock
