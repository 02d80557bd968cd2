#include "relay/terminal.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "relay/own_lines.hpp"

namespace brindock {
namespace {

struct terminal_state {
    int master = -1;
    bool takes_input = false;
    bool at_line_start = true;
    bool end_given = false;
    unsigned char end_of_file = 4;  // the terminal's own VEOF, read when it is opened
};

terminal_state terminal;

constexpr unsigned short default_rows = 24;
constexpr unsigned short default_columns = 80;

void say(const char* line, int length)
{
    if (length > 0) {
        say_line(line, static_cast<std::size_t>(length));
    }
}

// A decimal number from 1 to 65535 up to `end` (a character that is not a
// digit, or the string's end); `text` is moved past it.
bool read_dimension(const char*& text, char end, unsigned short& value)
{
    unsigned long number = 0;
    const char* at = text;
    for (; *at >= '0' && *at <= '9' && number <= 65535; ++at) {
        number = number * 10 + static_cast<unsigned long>(*at - '0');
    }
    if (at == text || *at != end || number == 0 || number > 65535) {
        return false;
    }
    value = static_cast<unsigned short>(number);
    text = at;
    return true;
}

// BRINDOCK_PTY_SIZE=ROWSxCOLS; a value not understood is said, and the
// default size used.
winsize take_terminal_size()
{
    winsize size{};
    size.ws_row = default_rows;
    size.ws_col = default_columns;
    const char* text = getenv("BRINDOCK_PTY_SIZE");
    if (text != nullptr) {
        const char* at = text;
        winsize asked{};
        if (read_dimension(at, 'x', asked.ws_row) && read_dimension(++at, '\0', asked.ws_col)) {
            size = asked;
        } else {
            char line[200];
            say(line, std::snprintf(line, sizeof line,
                                    "brindock: BRINDOCK_PTY_SIZE=%.64s not understood, 24x80 "
                                    "used; it takes ROWSxCOLS, each from 1 to 65535\n",
                                    text));
        }
    }
    unsetenv("BRINDOCK_PTY_SIZE");
    return size;
}

// Nothing added to the output and nothing echoed, so that the controller gets
// exactly what the command wrote. Input keeps the terminal's canonical lines
// and control characters, but carriage returns stay what they are and ^S
// does not stop the output.
bool configure_slave(int slave)
{
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) {
        return false;
    }
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE);
    settings.c_lflag |= ICANON | ISIG;
    settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP);
    terminal.end_of_file = settings.c_cc[VEOF];
    return tcsetattr(slave, TCSANOW, &settings) == 0;
}

// The slave, opened and set up, or -1 with errno set.
int open_slave(int master)
{
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        return -1;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        return -1;
    }
    winsize size = take_terminal_size();
    if (!configure_slave(slave) || ioctl(master, TIOCSWINSZ, &size) != 0) {
        const int error = errno;
        close(slave);
        errno = error;
        return -1;
    }
    return slave;
}

}  // namespace

terminal_strength take_terminal_request()
{
    const char* value = getenv("BRINDOCK_PTY");
    terminal_strength strength = terminal_strength::off;
    if (value != nullptr && std::strcmp(value, "1") == 0) {
        strength = terminal_strength::output;
    } else if (value != nullptr && std::strcmp(value, "all") == 0) {
        strength = terminal_strength::all;
    } else if (value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0) {
        char line[200];
        say(line, std::snprintf(line, sizeof line,
                                "brindock: BRINDOCK_PTY=%.64s not understood, left off; only 1 "
                                "or all turn it on\n",
                                value));
    }
    unsetenv("BRINDOCK_PTY");
    if (strength == terminal_strength::off) {
        unsetenv("BRINDOCK_PTY_SIZE");
    }
    return strength;
}

int open_terminal(terminal_strength strength)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return -1;
    }
    const int slave = open_slave(master);
    if (slave < 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
        const int error = errno;
        if (slave >= 0) {
            close(slave);
        }
        close(master);
        errno = error;
        return -1;
    }
    terminal.master = master;
    terminal.takes_input = strength == terminal_strength::all;
    return slave;
}

int terminal_master()
{
    return terminal.master;
}

bool terminal_takes_input()
{
    return terminal.master >= 0 && terminal.takes_input;
}

void take_controlling_terminal(int slave)
{
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
}

void close_terminal_slave(int slave)
{
    if (slave >= 0) {
        close(slave);
    }
}

void note_terminal_input(const unsigned char* data, std::size_t length)
{
    if (length > 0) {
        const unsigned char last = data[length - 1];
        terminal.at_line_start = last == '\n' || last == terminal.end_of_file;
    }
}

std::size_t terminal_end_of_input(unsigned char* bytes)
{
    if (terminal.end_given) {
        return 0;
    }
    terminal.end_given = true;
    bytes[0] = terminal.end_of_file;
    bytes[1] = terminal.end_of_file;
    return terminal.at_line_start ? 1 : 2;
}

bool resize_terminal(unsigned rows, unsigned columns)
{
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    return ioctl(terminal.master, TIOCSWINSZ, &size) == 0;
}

bool is_terminal_master(int fd)
{
    return fd >= 0 && fd == terminal.master;
}

}  // namespace brindock
