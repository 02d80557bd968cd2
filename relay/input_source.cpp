#include "relay/input_source.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace brindock {
namespace {

// Reads exactly `count` bytes that are known to be waiting on `fd`. A short
// count can only mean that someone else read them, which is a failure here.
bool read_waiting_bytes(int fd, unsigned char* buffer, std::size_t count)
{
    while (count > 0) {
        const ssize_t got = read(fd, buffer, count);
        if (got > 0) {
            buffer += got;
            count -= static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            if (got == 0) {
                errno = EIO;
            }
            return false;
        }
    }
    return true;
}

// Consumes from descriptor 0 the part of the `peeked` bytes in `buffer` that
// the reader allows; they land in `buffer` again, unchanged.
ssize_t consume_peeked(const packet_reader& reader, unsigned char* buffer, std::size_t peeked)
{
    const std::size_t allowed = consumable_size(reader, buffer, peeked);
    if (!read_waiting_bytes(STDIN_FILENO, buffer, allowed)) {
        return -1;
    }
    return static_cast<ssize_t>(allowed);
}

ssize_t take_in_exactly(input_source& source, const packet_reader& reader, unsigned char* buffer,
                        std::size_t size, bool after_wait)
{
    const std::size_t wanted = next_read_size(reader, size);
    if (after_wait) {
        return read(STDIN_FILENO, buffer, wanted);
    }
    if (source.try_without_wait) {
        struct iovec into {
            buffer, wanted
        };
        const ssize_t got = preadv2(STDIN_FILENO, &into, 1, -1, RWF_NOWAIT);
        if (got >= 0 || errno == EINTR) {
            return got;
        }
        // Where reads cannot be told not to wait (a terminal), the caller
        // polls before every read, and that plain read reports any real failure.
        source.try_without_wait = errno == EAGAIN || errno == EWOULDBLOCK;
    }
    errno = EAGAIN;
    return -1;
}

// What waits in the pipe is copied into the private pipe without being
// consumed, and read from there.
ssize_t take_in_from_pipe(input_source& source, const packet_reader& reader, unsigned char* buffer,
                          std::size_t size)
{
    const ssize_t peeked = tee(STDIN_FILENO, source.private_write, size, SPLICE_F_NONBLOCK);
    if (peeked <= 0) {
        return peeked;
    }
    const auto count = static_cast<std::size_t>(peeked);
    if (!read_waiting_bytes(source.private_read, buffer, count)) {
        return -1;
    }
    return consume_peeked(reader, buffer, count);
}

ssize_t take_in_from_socket(const packet_reader& reader, unsigned char* buffer, std::size_t size)
{
    const ssize_t peeked = recv(STDIN_FILENO, buffer, size, MSG_PEEK | MSG_DONTWAIT);
    if (peeked <= 0) {
        return peeked;
    }
    return consume_peeked(reader, buffer, static_cast<std::size_t>(peeked));
}

// The offset is moved only past what was used, so that whoever reads the file
// next starts right after the end-of-input packet.
ssize_t take_in_from_file(input_source& source, const packet_reader& reader, unsigned char* buffer,
                          std::size_t size)
{
    const ssize_t got = pread(STDIN_FILENO, buffer, size, source.offset);
    if (got <= 0) {
        return got;
    }
    const std::size_t allowed = consumable_size(reader, buffer, static_cast<std::size_t>(got));
    const off_t next = source.offset + static_cast<off_t>(allowed);
    if (lseek(STDIN_FILENO, next, SEEK_SET) != next) {
        return -1;
    }
    source.offset = next;
    return static_cast<ssize_t>(allowed);
}

bool is_stream_socket(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

bool open_private_pipe(input_source& source)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    source.private_read = ends[0];
    source.private_write = ends[1];
    return true;
}

// True when `result` says that descriptor 0 does not support the way of
// looking chosen for it; nothing has been consumed then.
bool cannot_look_ahead(ssize_t result)
{
    return result < 0 && (errno == EINVAL || errno == ENOTSOCK || errno == ESPIPE);
}

}  // namespace

input_source open_input_source()
{
    input_source source;
    struct stat status {};
    if (fstat(STDIN_FILENO, &status) != 0) {
        return source;
    }
    if (S_ISFIFO(status.st_mode)) {
        if (open_private_pipe(source)) {
            source.kind = input_kind::pipe;
        }
    } else if (S_ISSOCK(status.st_mode)) {
        if (is_stream_socket(STDIN_FILENO)) {
            source.kind = input_kind::socket;
        }
    } else if (S_ISREG(status.st_mode)) {
        source.offset = lseek(STDIN_FILENO, 0, SEEK_CUR);
        if (source.offset >= 0) {
            source.kind = input_kind::file;
        }
    }
    return source;
}

bool release_private_pipe(input_source& source)
{
    if (source.private_read < 0) {
        return false;
    }
    close(source.private_read);
    close(source.private_write);
    source.private_read = source.private_write = -1;
    source.kind = input_kind::exact;
    return true;
}

ssize_t take_in(input_source& source, const packet_reader& reader, unsigned char* buffer,
                std::size_t size, bool after_wait)
{
    ssize_t got = -1;
    switch (source.kind) {
        case input_kind::pipe:
            got = take_in_from_pipe(source, reader, buffer, size);
            break;
        case input_kind::socket:
            got = take_in_from_socket(reader, buffer, size);
            break;
        case input_kind::file:
            got = take_in_from_file(source, reader, buffer, size);
            break;
        case input_kind::exact:
            return take_in_exactly(source, reader, buffer, size, after_wait);
    }
    if (cannot_look_ahead(got)) {
        release_private_pipe(source);
        source.kind = input_kind::exact;  // also for a socket or a file, which had no pipe
        return take_in_exactly(source, reader, buffer, size, after_wait);
    }
    return got;
}

}  // namespace brindock
