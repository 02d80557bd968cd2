#include "relay/own_lines.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "relay/ready_write.hpp"

namespace brindock {
namespace {

unwaiting_output standard_error{STDERR_FILENO};
std::uint64_t dropped = 0;

// True when all of `line` went. A line is shorter than PIPE_BUF, so a pipe
// takes it whole or not at all.
bool write_now(const char* line, std::size_t length)
{
    return write_unwaiting(standard_error, reinterpret_cast<const unsigned char*>(line), length) ==
           static_cast<ssize_t>(length);
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
