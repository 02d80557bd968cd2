#include "relay/input_source.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "relay/descriptors.hpp"

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

// One read of up to `wanted` bytes that never waits: -1 with errno EAGAIN when
// nothing is there yet. `after_wait` says that descriptor 0 was just seen ready.
ssize_t read_without_waiting(input_source& source, unsigned char* buffer, std::size_t wanted,
                             bool after_wait)
{
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
        if (must_take_plain_path()) {
            source.try_without_wait = false;
        }
    }
    errno = EAGAIN;
    return -1;
}

ssize_t take_in_exactly(input_source& source, const packet_reader& reader, unsigned char* buffer,
                        std::size_t size, bool after_wait)
{
    return read_without_waiting(source, buffer, next_read_size(reader, size), after_wait);
}

// What waits in the pipe is copied into the private pipe without being
// consumed, and read from there. A pipe in packet mode reads back one message
// at a time, which is how it is found out: from then on it is read a whole
// message at a time instead.
ssize_t look_into_pipe(input_source& source, unsigned char* buffer, std::size_t size)
{
    const ssize_t peeked = tee(STDIN_FILENO, source.private_write, size, SPLICE_F_NONBLOCK);
    if (peeked <= 0) {
        return peeked;
    }
    const auto count = static_cast<std::size_t>(peeked);
    const ssize_t first = read(source.private_read, buffer, count);
    if (first > 0 && static_cast<std::size_t>(first) < count) {
        release_private_pipe(source);
        source.kind = input_kind::messages;
        errno = EAGAIN;
        return -1;
    }
    if (first <= 0) {
        if (first == 0) {
            errno = EIO;
        }
        return -1;
    }
    return peeked;
}

// Looks at what waits on descriptor 0 without consuming any of it: the count
// now in `buffer`, 0 at the end of the input, or -1 with errno set.
ssize_t look_ahead(input_source& source, unsigned char* buffer, std::size_t size)
{
    switch (source.kind) {
        case input_kind::pipe:
            return look_into_pipe(source, buffer, size);
        case input_kind::socket:
            return recv(STDIN_FILENO, buffer, size, MSG_PEEK | MSG_DONTWAIT);
        case input_kind::file:
            return pread(STDIN_FILENO, buffer, size, source.offset);
        default:
            errno = EINVAL;
            return -1;
    }
}

// Consumes from descriptor 0 the part of the `peeked` bytes in `buffer` that
// the reader allows; they stay in `buffer` as they are. The offset of a file
// is moved only past what was used, so that whoever reads it next starts right
// after the end-of-input packet.
ssize_t consume(input_source& source, const packet_reader& reader, unsigned char* buffer,
                std::size_t peeked)
{
    const std::size_t allowed = consumable_size(reader, buffer, peeked);
    if (source.kind == input_kind::file) {
        const off_t next = source.offset + static_cast<off_t>(allowed);
        if (lseek(STDIN_FILENO, next, SEEK_SET) != next) {
            return -1;
        }
        source.offset = next;
    } else if (!read_waiting_bytes(STDIN_FILENO, buffer, allowed)) {
        return -1;
    }
    return static_cast<ssize_t>(allowed);
}

// Size of the message waiting on a socket, which may exceed any buffer; 0
// when nothing waits or the message is empty. A pipe's messages always fit.
std::size_t next_message_size(const input_source& source)
{
    int size = 0;
    if (!source.sized_messages || ioctl(STDIN_FILENO, FIONREAD, &size) != 0) {
        return 0;
    }
    return static_cast<std::size_t>(std::max(size, 0));
}

// Takes a message larger than the caller's buffer in whole, into memory of
// its own. Where none can be had the input fails here rather than lose the
// part of the message that does not fit.
ssize_t take_in_large_message(input_source& source, std::size_t size, bool after_wait)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return -1;
    }
    auto* message = static_cast<unsigned char*>(memory);
    const ssize_t got = read_without_waiting(source, message, size, after_wait);
    if (got <= 0) {
        const int error = errno;
        munmap(memory, size);
        errno = error;
        return got;
    }
    source.message = message;
    source.message_size = static_cast<std::size_t>(got);
    source.message_given = 0;
    source.message_mapped = size;
    return got;
}

// The next part of a large message, as much as fits in `buffer`.
std::size_t give_message_part(input_source& source, unsigned char* buffer, std::size_t size)
{
    const std::size_t part = std::min(size, source.message_size - source.message_given);
    std::memcpy(buffer, source.message + source.message_given, part);
    source.message_given += part;
    return part;
}

void drop_message(input_source& source)
{
    munmap(source.message, source.message_mapped);
    source.message = nullptr;
}

ssize_t take_in_message(input_source& source, const packet_reader& reader, unsigned char* buffer,
                        std::size_t size, bool after_wait)
{
    std::size_t count = 0;
    if (source.message == nullptr) {
        const std::size_t waiting = next_message_size(source);
        const ssize_t got = waiting > size ? take_in_large_message(source, waiting, after_wait)
                                           : read_without_waiting(source, buffer, size, after_wait);
        if (got <= 0) {
            return got;
        }
        count = source.message != nullptr ? give_message_part(source, buffer, size)
                                          : static_cast<std::size_t>(got);
    } else {
        count = give_message_part(source, buffer, size);
    }
    const std::size_t allowed = consumable_size(reader, buffer, count);
    // The rest of a message goes with the end-of-input packet inside it.
    if (source.message != nullptr &&
        (allowed < count || source.message_given == source.message_size)) {
        drop_message(source);
    }
    return static_cast<ssize_t>(allowed);
}

int socket_type(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 ? type : -1;
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

input_kind kind_of_socket(int type)
{
    if (type == SOCK_STREAM) {
        return input_kind::socket;
    }
    return type == SOCK_DGRAM || type == SOCK_SEQPACKET ? input_kind::messages : input_kind::exact;
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
        source.kind = kind_of_socket(socket_type(STDIN_FILENO));
        source.sized_messages = source.kind == input_kind::messages;
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
    if (source.kind == input_kind::exact) {
        return take_in_exactly(source, reader, buffer, size, after_wait);
    }
    if (source.kind == input_kind::messages) {
        return take_in_message(source, reader, buffer, size, after_wait);
    }
    // A pipe found to be in packet mode says EAGAIN: its messages still wait,
    // so the caller's wait returns at once and the next call reads them whole.
    const ssize_t peeked = look_ahead(source, buffer, size);
    if (peeked < 0 && must_take_plain_path()) {
        // Nothing was consumed: exact reads go on from where the look began.
        release_private_pipe(source);
        source.kind = input_kind::exact;  // also for a socket or a file, which had no pipe
        return take_in_exactly(source, reader, buffer, size, after_wait);
    }
    if (peeked <= 0) {
        return peeked;
    }
    return consume(source, reader, buffer, static_cast<std::size_t>(peeked));
}

}  // namespace brindock
