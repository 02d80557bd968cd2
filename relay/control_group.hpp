// The tied command's control group: where the system allows it, a cgroup v2
// group made below the relay's own, named brindock-<the relay's pid>, that the
// command joins as it is started, so that nothing it starts can leave it, not
// even a process that starts a session of its own. Ending the group needs no
// process number that could meanwhile have been given to another process:
// members are signalled through process descriptors, and killed by the
// kernel's own cgroup.kill where it has one.
//
// Where no group can be made (no cgroup v2, a read-only or foreign hierarchy,
// no permission, an old kernel, a sandbox that refuses the calls), tied mode
// keeps the command in its process group instead.
#pragma once

#include <cstddef>

namespace brindock {

// Writes into `path` (`size` bytes) where the command's group goes: the
// relay's own group in the cgroup v2 hierarchy, as /proc/self/mountinfo and
// /proc/self/cgroup show them, then /brindock-<pid>. Returns false where this
// process has no cgroup v2 hierarchy in view.
bool find_command_group_path(char* path, std::size_t size);

// Makes the group at `path` and returns a descriptor open on it
// (close-on-exec), or -1 when it cannot be made or its members could not be
// signalled (no process descriptors). A leftover empty group of
// the same name, from a relay of the same number killed with its watchdog, is
// replaced.
int make_command_group(const char* path);

// Sends `signal_number` to every member of the group open on `group`, each
// through a process descriptor, as at the group's end. False, with nothing
// sent, where `member` is not in the group (the command did not join it).
bool signal_group_members(int group, long member, int signal_number);

// Ends whatever runs in the group at `path`: SIGTERM and SIGCONT to every
// member, then, if anything is left after `grace_ms` on the monotonic clock,
// the kernel's kill of the whole group (SIGKILL to each member until none is
// left, on kernels without one), and a wait as long again at most for the
// group to be empty. Then removes the group. Async-signal-safe.
void end_command_group(const char* path, long grace_ms);

// Removes the group at `path` and any group made below it, where they hold no
// process. Async-signal-safe.
void remove_command_group(const char* path);

}  // namespace brindock
