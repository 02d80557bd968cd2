// The tied command's tree where it has no control group: everything below
// the watchdog, which is the command's parent and the subreaper of all it
// starts. A process can leave its session and its process group but not its
// ancestors, so every orphan of the tree, double-forked and in a session of
// its own or not, becomes the watchdog's child, and the tree is all of what
// the command started.
//
// Invariants: a process is signalled only through a process descriptor, and
// only once it is confirmed, after the descriptor was opened, to be the child
// of a process already confirmed (or of the watchdog itself) while both were
// unreaped, so a number given meanwhile to a bystander is never signalled;
// the command's process group is signalled by its number, which stays the
// unreaped command's.
// The tree counts as gone once each child of the watchdog has ended: a live
// descendant always has a live ancestor among them. Raw system calls only:
// async-signal-safe, fit for the watchdog.
#pragma once

#include <sys/types.h>

namespace brindock {

// Ends everything below the calling process: SIGTERM and at once SIGCONT to
// each, then, if anything is left after `grace_ms` on the monotonic clock,
// SIGKILL to each until none is left, or as long again. Unless the caller is
// the `subreaper` of what the command starts, the process group of `command`
// (unreaped, so its number is its own) gets each signal too; it is all that
// is ended where /proc cannot be read. Ended children are left unreaped.
void end_process_tree(pid_t command, long grace_ms, bool subreaper);

// Sends `signal_number` to everything below the calling process, once each.
void signal_process_tree(int signal_number);

// Reaps the children of the calling process that have ended, but `keep`.
void reap_ended_children(pid_t keep);

}  // namespace brindock
