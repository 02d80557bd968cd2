// The floor that the benchmark sets brindock against: a copier with no framing
// that feeds its standard input to `/bin/sh -c command` in writes of at most
// 1024 bytes, as brindock must, reads the command's output meanwhile and holds
// it, and sends what it held once its input has ended and the command's output
// has closed. What brindock costs beyond this is the cost of its framing.
//
// Usage: piece_copier "command"
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bench/shell_command.hpp"

namespace {

constexpr std::size_t piece = 1024;
constexpr std::size_t read_size = 65536;
constexpr std::size_t hold_size = std::size_t{2} << 30;  // reserved, touched as used

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(2);
}

struct held_output {
    unsigned char* data = nullptr;
    std::size_t size = 0;
};

// Takes whatever the command's output holds now; false at its end.
bool take_output(int fd, held_output& held)
{
    for (;;) {
        if (held.size + read_size > hold_size) {
            fail("hold full");
        }
        const ssize_t got = read(fd, held.data + held.size, read_size);
        if (got > 0) {
            held.size += static_cast<std::size_t>(got);
        } else if (got == 0) {
            return false;
        } else if (errno == EAGAIN) {
            return true;
        } else if (errno != EINTR) {
            fail("read from the command");
        }
    }
}

void write_all(int fd, const unsigned char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno != EINTR) {
            fail("write");
        }
        const auto done = static_cast<std::size_t>(std::max<ssize_t>(written, 0));
        data += done;
        length -= done;
    }
}

pid_t start_command(const char* command, int& to_command, int& from_command)
{
    const pid_t pid = bench::start_shell_command(command, to_command, from_command);
    if (pid < 0) {
        fail("starting the command");
    }
    if (fcntl(to_command, F_SETFL, O_NONBLOCK) != 0 ||
        fcntl(from_command, F_SETFL, O_NONBLOCK) != 0) {
        fail("fcntl");
    }
    return pid;
}

// Writes one read's bytes to the command in pieces, holding its output
// whenever the command's input is full.
void feed(int to_command, int from_command, const unsigned char* data, std::size_t length,
          held_output& held)
{
    while (length > 0) {
        const ssize_t written = write(to_command, data, std::min(length, piece));
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            fail("write to the command");
        }
        pollfd watched[2] = {{to_command, POLLOUT, 0}, {from_command, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            fail("poll");
        }
        take_output(from_command, held);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: piece_copier \"command\"\n", stderr);
        return 2;
    }
    void* memory = mmap(nullptr, hold_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        fail("mmap");
    }
    held_output held{static_cast<unsigned char*>(memory), 0};
    int to_command = -1;
    int from_command = -1;
    const pid_t pid = start_command(argv[1], to_command, from_command);
    static unsigned char buffer[read_size];
    for (;;) {
        const ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail("read");
        }
        if (got == 0) {
            break;
        }
        feed(to_command, from_command, buffer, static_cast<std::size_t>(got), held);
        take_output(from_command, held);
    }
    close(to_command);
    for (pollfd watched{from_command, POLLIN, 0}; take_output(from_command, held);) {
        if (poll(&watched, 1, -1) < 0 && errno != EINTR) {
            fail("poll");
        }
    }
    write_all(1, held.data, held.size);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
