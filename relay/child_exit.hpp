// The child-exit signal and what it means at each point of the relay's life.
// Until the input phase is over a SIGCHLD ends the relay at once with nothing
// more written. From then on the handler only records the event, so that the
// output phase can forward what the child left in its pipe before ending.
#pragma once

namespace brindock {

// The SIGCHLD handler. Async-signal-safe: it either ends the process with
// status 0 or marks the event and wakes the output phase's wait.
void proc_exit(int signal_number);

// Installs proc_exit for SIGCHLD, stops and continuations included; the signal
// mask and every other disposition stay as inherited.
void install_child_exit_handler();

// Opens the private pipe through which the handler wakes a waiting output
// phase. Returns false when it cannot be created.
bool open_child_exit_event();

// Read end of that pipe: readable once a SIGCHLD has arrived after the input phase.
int child_exit_event_fd();

// From this call on, a SIGCHLD no longer ends the relay at once. Called as soon
// as the input phase is over, before the child's input is closed.
void mark_input_phase_over();

// True once a SIGCHLD has arrived after the input phase.
bool child_exit_seen();

}  // namespace brindock
