// The child-exit signal. Before the command is launched a SIGCHLD ends the
// relay at once: there is nothing of the command's to forward. From then on the
// handler only records the event, and whichever phase is running ends on it:
// the input phase stops taking input, and the output phase forwards what the
// command left, held or in its pipe, before the relay ends.
#pragma once

namespace brindock {

// The SIGCHLD handler. Async-signal-safe: it either ends the process with
// status 0 or marks the event and wakes whichever wait is under way.
void proc_exit(int signal_number);

// Installs proc_exit for SIGCHLD, stops and continuations included; the signal
// mask and every other disposition stay as inherited. Interrupted calls are not
// restarted, so that no blocking call outlives the event.
void install_child_exit_handler();

// Opens the private pipe through which the handler wakes a waiting phase.
// Until it is open a SIGCHLD ends the relay at once. Returns false when it
// cannot be created.
bool open_child_exit_event();

// Read end of that pipe: readable once a SIGCHLD has been recorded.
int child_exit_event_fd();

// True once a SIGCHLD has been recorded.
bool child_exit_seen();

}  // namespace brindock
