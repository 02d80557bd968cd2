#include "relay/own_lines.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "relay/descriptors.hpp"
#include "relay/ready_write.hpp"

namespace brindock {
namespace {

enum class way { undecided, own_description, dont_wait, plain, when_room };

way chosen = way::undecided;
int own_error = -1;  // the relay's own non-blocking description of standard error
std::uint64_t dropped = 0;

// Decided at the first line, so that a relay with nothing to say opens
// nothing for it.
way choose_way()
{
    struct stat error {};
    if (fstat(STDERR_FILENO, &error) != 0) {
        return way::plain;  // the write itself reports what is wrong, and is dropped
    }
    if (S_ISFIFO(error.st_mode) || S_ISCHR(error.st_mode)) {
        own_error = open_nonblocking_description(STDERR_FILENO, error);
        return own_error >= 0 ? way::own_description : way::when_room;
    }
    if (S_ISSOCK(error.st_mode)) {
        return way::dont_wait;
    }
    return S_ISREG(error.st_mode) ? way::plain : way::when_room;
}

// True when all of `line` went. A line is shorter than PIPE_BUF, so a pipe
// takes it whole or not at all.
bool write_now(const char* line, std::size_t length)
{
    if (chosen == way::undecided) {
        chosen = choose_way();
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(line);
    ssize_t written = -1;
    switch (chosen) {
        case way::own_description:
            written = write(own_error, bytes, length);
            break;
        case way::dont_wait:
            written = send(STDERR_FILENO, bytes, length, MSG_DONTWAIT);
            if (written < 0 && must_take_plain_path()) {
                chosen = way::when_room;
                written = write_when_room(STDERR_FILENO, bytes, length);
            }
            break;
        case way::when_room:
            written = write_when_room(STDERR_FILENO, bytes, length);
            break;
        default:
            written = write(STDERR_FILENO, bytes, length);
    }
    return written == static_cast<ssize_t>(length);
}

}  // namespace

void say_line(const char* line, std::size_t length)
{
    if (dropped > 0) {
        char count[96];
        const int size =
            std::snprintf(count, sizeof count,
                          "brindock: %llu lines not written here: standard error took no more\n",
                          static_cast<unsigned long long>(dropped));
        if (!write_now(count, static_cast<std::size_t>(size))) {
            ++dropped;
            return;
        }
        dropped = 0;
    }
    if (!write_now(line, length)) {
        ++dropped;
    }
}

}  // namespace brindock
