// Starting the command: "/bin/sh -c command" as a child joined to the relay by
// two pipes, one feeding its standard input, one carrying its standard output;
// on request a third carries its standard error.
#pragma once

#include <sys/types.h>

namespace brindock {

// Starts the shell on `command`. On success returns the child's process id
// and stores the relay's ends of the pipes in the destinations given (an end
// with no destination is closed): the child-input end, for writing, and the
// child-output end, for reading. Both are non-blocking and close-on-exec.
// Returns -1 with errno set when a pipe cannot be created (nothing is left
// open then), or the fork's negative result.
//
// With a `group_report` descriptor, the shell leads a process group of its
// own and writes a command_report there before it runs the command. With a
// `control_group` descriptor too, it is started inside that control group,
// where the kernel allows it. With a `child_error` destination, the command's
// standard error is a pipe of its own too, whose read end (non-blocking,
// close-on-exec) is stored there.
//
// The relay keeps its own copies of the child's ends open for its whole life:
// writes to the child never fail for want of a reader, and the child's output
// never shows end of file, so the relay's end is learnt from SIGCHLD alone.
// `joined_group`, when given, is told whether the child started inside the
// control group.
pid_t spawn_shell_command(const char* command, int* child_input, int* child_output,
                          int group_report = -1, int control_group = -1,
                          int* child_error = nullptr, bool* joined_group = nullptr);

// What the shell reports, before it runs the command, through `group_report`.
struct command_report {
    pid_t pid;
    int in_control_group;  // 1 when it was started inside the control group
};

}  // namespace brindock
