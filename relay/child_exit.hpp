// The command's end. Before the command is launched a SIGCHLD ends the relay at
// once: there is nothing of the command's to forward. From then on the handler
// only records the event, and the relay's loop acts on it: the command's input
// is closed, and what the command left, held or in its pipe, is forwarded
// before standard output is let go of.
//
// A SIGCHLD blocked in the inherited mask never reaches the handler, so the
// command is also watched through a process descriptor, where the kernel has
// them: the relay's one wait sees its end either way.
#pragma once

#include <poll.h>
#include <sys/types.h>

namespace brindock {

// The SIGCHLD handler. Async-signal-safe: it either ends the process with
// status 0 or marks the event and wakes whichever wait is under way.
void proc_exit(int signal_number);

// Installs proc_exit for SIGCHLD, stops and continuations included; the signal
// mask and every other disposition stay as inherited. Interrupted calls are not
// restarted, so that no blocking call outlives the event.
void install_child_exit_handler();

// Opens the private pipe through which the handler wakes the waiting relay.
// Until it is open a SIGCHLD ends the relay at once. Returns false when it
// cannot be created.
bool open_child_exit_event();

// Watches `command` through a process descriptor as well. Where none can be
// had, the handler alone reports the command's end. Tied, the command is the
// watchdog's child, and the watchdog's reports say when it ended.
//
// `tied`: only the command's own end counts, not its stops or continuations
// nor any other child's events, and the command is left unreaped for the
// relay's end to collect; every wait also watches standard output for a
// controller that has gone.
void watch_command(pid_t command, bool tied);

// True once the command's end has been recorded; untied, once any SIGCHLD has.
bool child_exit_seen();

// Tied: true once standard output has lost its reader or failed.
bool controller_gone();

// The command watched.
pid_t command_pid();

// Untied: reaps the command if it has ended, and no other child, without
// waiting. One that still runs carries on alone; one that has ended would
// otherwise be left as a zombie to whoever adopts it.
void reap_ended_command();

// Tied: the command's status as waitpid gives it, once its end has been seen.
int ended_command_status();

// Tied: standard output has been let go of on purpose, so its end says
// nothing about the controller any more.
void stop_watching_output();

// The relay's one wait: until one of the `count` (at most 5) descriptors in
// `watched` is ready, something happens to the command or the controller, or
// `timeout_ms` milliseconds pass (-1: no limit). Returns false only when the
// time passed with nothing ready. `spin_us`: how long to look without sleeping
// first; `found_spinning`, when given, says whether that look found something.
bool wait_for_event(pollfd* watched, nfds_t count, int timeout_ms, int spin_us = 0,
                    bool* found_spinning = nullptr);

}  // namespace brindock
