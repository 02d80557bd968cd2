// Tied mode, asked for with BRINDOCK_TIED=1 (and implied by channel mode and
// a time limit): the command's life and the relay's are tied both ways. The
// relay ends when its command ends, and exits with the command's status;
// whatever is left of what the command started when the relay ends, however
// it ends, is sent SIGTERM and SIGCONT, then SIGKILL after a grace period.
//
// What the command started is, where the system allows it, the control group
// it was started in (control_group.hpp); elsewhere its whole tree below the
// watchdog (process_tree.hpp), which no process can leave. The ending is the
// watchdog's (watchdog.hpp); this file is the relay's side of it: starting
// the command through the watchdog, the ending signals, and the end, at
// which the relay closes its pipe to the watchdog and waits for it, so that
// nothing of the command outlives the relay.
#pragma once

#include <sys/types.h>

namespace brindock {

// True when the controller asked for tied mode. The variable is removed from
// the environment, so that the command (a nested relay, say) starts untied.
bool take_tied_request();

// The grace period of the group's end, in milliseconds.
long tied_grace_ms();

// Makes the command's control group where it can (unless
// BRINDOCK_NO_CONTROL_GROUP=1, which is taken out of the environment), starts
// the watchdog and through it the command. Returns the command's number and
// stores the relay's ends of its pipes as spawn_shell_command does, a terminal
// too; -1 with errno set when it cannot be started.
pid_t spawn_tied_command(const char* command, int* child_input, int* child_output, int* child_error,
                         int terminal_slave = -1, bool terminal_input = false);

// True when the command was started inside a control group.
bool command_in_control_group();

// True when a control group was asked for (BRINDOCK_NO_CONTROL_GROUP unset).
bool control_group_wanted();

// The descriptor through which the watchdog reports the command's end
// (readable then, and at the watchdog's end).
int command_reports();

// Reads what the watchdog has reported; true once the command's end has been,
// with its status as waitpid gives it in `wait_status`.
bool command_end_reported(int& wait_status);

// Sends `signal_number` to every member of the command's control group, what
// is left of it once the command has ended included. False where the command
// did not join one.
bool signal_command_group(int signal_number);

// Has the watchdog end the command's group now, as at the relay's end.
void end_command_group_now();

// SIGTERM, SIGINT and SIGHUP end the command's group, then end the relay by
// the same signal, as it would have ended without a handler.
void install_ending_signal_handlers();

// Ends what is left of the command's group and returns the relay's exit
// status: the command's, 128 + S when a signal S ended it.
int end_tied();

}  // namespace brindock
