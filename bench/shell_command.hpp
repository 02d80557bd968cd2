// The benchmark's own helpers start `sh -c command` on two pipes, as the relay
// does, to measure what a relay costs against programs that do the same work.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace bench {

// Starts the command with its standard input fed from `to_command` and its
// standard output read from `from_command`. Returns its process id, or -1
// when the pipes or the process cannot be made.
inline pid_t start_shell_command(const char* command, int& to_command, int& from_command)
{
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0) {
            _exit(126);
        }
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_command = in[1];
    from_command = out[0];
    return pid;
}

}  // namespace bench
