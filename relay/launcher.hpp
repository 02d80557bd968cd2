// Starting the command: "/bin/sh -c command" joined to the relay by two
// pipes, one feeding its standard input, one carrying its standard output; on
// request a third carries its standard error, and a terminal takes the place
// of the first two or of the second. Untied the shell is the relay's child;
// tied, the watchdog's (watchdog.hpp), on the pipes the relay made.
#pragma once

#include <sys/types.h>

namespace brindock {

// The pipes between the relay and the shell: its standard input and output,
// and on request its standard error. [0] is each pipe's read end. In terminal
// mode, the terminal's slave is the shell's standard output and, unless
// standard error has its pipe, its standard error; with `terminal_input` its
// standard input too. No pipe is made for what the terminal carries.
struct shell_pipes {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int error[2] = {-1, -1};
    int terminal = -1;
    bool terminal_input = false;
};

// Makes the pipes, all close-on-exec, the relay's ends non-blocking. Returns
// 0, or -1 with errno set and nothing left open.
int make_shell_pipes(shell_pipes& pipes, bool with_error, int terminal_slave = -1,
                     bool terminal_input = false);

// Forks the shell on `pipes`. Where `control_group` is open and the kernel
// places a new process in it, the child starts inside it, and `joined` says
// so. `own_group`: the child leads a process group of its own. On a terminal
// it starts a session of its own with the terminal as its controlling
// terminal, and the call returns once the session is made, so that the
// command's group exists. Returns the child's number, or the fork's negative
// result; in the child it never returns.
pid_t fork_shell(const char* command, const shell_pipes& pipes, int control_group, bool own_group,
                 bool& joined);

// Stores the relay's ends of the pipes in the destinations given (an end with
// no destination is closed).
void hand_over_relay_ends(const shell_pipes& pipes, int* child_input, int* child_output,
                          int* child_error);

// Closes every end of the pipes, keeping errno.
void close_shell_pipes(const shell_pipes& pipes);

// Starts the shell on `command` as the relay's own child. On success returns
// the child's process id and stores the relay's ends of the pipes in the
// destinations given: the child-input end, for writing, and the child-output
// end, for reading. Returns -1 with errno set when a pipe cannot be created
// (nothing is left open then), or the fork's negative result. With a
// `child_error` destination, the command's standard error is a pipe of its
// own too, whose read end is stored there.
//
// The relay keeps its own copies of the child's ends open for its whole life:
// writes to the child never fail for want of a reader, and the child's output
// never shows end of file, so the relay's end is learnt from the command's
// end alone.
pid_t spawn_shell_command(const char* command, int* child_input, int* child_output,
                          int* child_error = nullptr, int terminal_slave = -1,
                          bool terminal_input = false);

}  // namespace brindock
