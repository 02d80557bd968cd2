// The tied command's watchdog: a process between the relay and the command,
// the command's parent and the subreaper of everything it starts, in a
// process group of its own. It starts the command, tells the relay its number
// and, once it has ended, its status, and ends what the command started
// (its control group, or else its tree: process_tree.hpp) when the relay
// asks it to or ends, however it ends: it holds the read end of a pipe from
// the relay, whose end it sees even when the relay is killed outright.
//
// Invariants: the command is reaped only after its group has been ended, so
// its number, which is its process group's, is never another process's while
// the relay may signal that group. The watchdog holds nothing of the
// relay's but its pipes and the control group's descriptors, so whoever waits
// on the relay's descriptors sees their end when the relay ends. Like the
// child between fork and exec, it makes only async-signal-safe calls.
#pragma once

#include <sys/types.h>

#include "relay/control_group.hpp"
#include "relay/launcher.hpp"

namespace brindock {

// What the watchdog tells the relay: once the command has started, then once
// it has ended.
struct command_report {
    pid_t pid;
    int in_control_group;  // 1 when it was started inside the control group
    int ended;             // 1 in the report of its end
    int wait_status;       // as waitpid gives it, in that report
};

// The relay's ends of its link to the watchdog.
struct watchdog_link {
    pid_t watchdog = -1;
    int control = -1;  // written by the relay; closing it ends the group
    int reports = -1;  // read by the relay, non-blocking once started
};

// The one request the relay makes on `control` before its end: end the
// command's group now (a time limit), leaving the rest as it is.
inline constexpr char end_group_request = 'e';

// Starts the watchdog, which starts the shell on `pipes` inside `group` where
// it is open. Returns the command's first report (its number, -1 when the
// watchdog or the command could not be started, errno then set). The child's
// ends of the pipes stay open in the relay, as untied.
command_report start_watched_command(const char* command, const shell_pipes& pipes,
                                     const command_group& group, long grace_ms,
                                     watchdog_link& link);

}  // namespace brindock
