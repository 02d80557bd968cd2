// The tied command's control group: a cgroup v2 group made below the relay's
// own, which the command joins as it is started, so that what it starts stays
// in it, a process that starts a session of its own included.
//
// Invariants: the group's name is one that no other relay on the machine can
// hold at the same time (the relay's process number, its start time and a
// random part), and it is made with mkdir, never taking over a directory that
// exists. Every later use, by the relay and by its watchdog, goes through the
// descriptors opened when it was made (the parent's and the group's own);
// nothing is looked up again by path, so nothing of another relay is touched,
// whatever names or numbers say. Members are signalled only through process
// descriptors, each confirmed to be listed after it was opened, and killed by
// the kernel's own cgroup.kill where it has one.
//
// Where no group can be made (no cgroup v2, a read-only or foreign hierarchy,
// no permission, an old kernel, a sandbox that refuses the calls), tied mode
// contains the command without one.
#pragma once

namespace brindock {

struct command_group {
    int parent = -1;  // the relay's own group, where this one was made
    int dir = -1;     // this group; -1 where there is none
    char name[64] = "";
};

// Makes the group below the directory at `parent_path` (close-on-exec
// descriptors). False, with nothing made, where it cannot be made or its
// members could not be signalled (no process descriptors).
bool make_command_group(const char* parent_path, command_group& group);

// Sends `signal_number` to every member of the group, each through a process
// descriptor. Async-signal-safe.
void signal_group_members(const command_group& group, int signal_number);

// Ends whatever runs in the group: SIGTERM and SIGCONT to every member, then,
// if anything is left after `grace_ms` on the monotonic clock, the kernel's
// kill of the whole group (SIGKILL to each member until none is left, on
// kernels without one), and a wait as long again at most for the group to be
// empty. Then removes it. Async-signal-safe.
void end_command_group(const command_group& group, long grace_ms);

// Removes the group and any group made below it, where they hold no process.
// Async-signal-safe.
void remove_command_group(const command_group& group);

}  // namespace brindock
