// Tied mode, asked for with BRINDOCK_TIED=1: the command's life and the
// relay's are tied both ways. The relay ends when its command ends, and exits
// with the command's status; whatever is left of what the command started
// when the relay ends, however it ends, is sent SIGTERM and SIGCONT, then
// SIGKILL after a grace period.
//
// What the command started is, where the system allows it, the control group
// it was started in (control_group.hpp), which nothing can leave; elsewhere
// the process group it leads, which a process that starts a session of its
// own does leave.
//
// The ending is the watchdog's one job: a process of its own group that holds
// the read end of a pipe from the relay and learns the group from the command
// itself. When that pipe closes (the relay ended, was killed outright, or
// chose to end) it ends the group and exits. A relay that ends on purpose
// closes the pipe, waits for the watchdog, and only then reaps the command,
// whose number is the process group's: nothing of the command outlives the
// relay, and no other process can have been given that number meanwhile. A
// relay killed with SIGKILL leaves the same work to the watchdog.
#pragma once

#include <sys/types.h>

namespace brindock {

// True when the controller asked for tied mode. The variable is removed from
// the environment, so that the command (a nested relay, say) starts untied.
bool take_tied_request();

// Makes the relay the subreaper of what its command leaves behind, starts the
// watchdog, and makes the command's control group where it can (unless
// BRINDOCK_NO_CONTROL_GROUP=1, which is taken out of the environment). Returns
// the descriptor through which the command, before it runs, reports itself
// (close-on-exec), or -1 when the watchdog cannot be started.
int start_watchdog();

// The control group for the command to start in, or -1 where there is none.
int command_control_group();

// Whether the command was started inside the control group.
void note_command_joined_group(bool joined);

// Sends `signal_number` to every member of the command's control group, what
// is left of it once the command has ended included. False where the command
// did not join one.
bool signal_command_group(int signal_number);

// Reaps the children that the relay adopted as subreaper and that have ended,
// leaving the command and the watchdog alone.
void reap_adopted_orphans(pid_t command);

// SIGTERM, SIGINT and SIGHUP end the command's group, then end the relay by
// the same signal, as it would have ended without a handler.
void install_ending_signal_handlers();

// Ends what is left of the command's group and returns the relay's exit
// status: the command's, 128 + S when a signal S ended it.
int end_tied(pid_t command);

}  // namespace brindock
