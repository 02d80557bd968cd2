// Where the relay's own control group sits: the cgroup v2 mount that
// /proc/self/mountinfo shows and the relay's group in it, from
// /proc/self/cgroup. Only finding the directory is done here; nothing is made
// or changed. A hierarchy that this process cannot see whole (a mount that
// shows a sibling of its group, or a group above the namespace's root) counts
// as none.
#pragma once

#include <cstddef>

namespace brindock {

// Writes into `path` (`size` bytes) the directory of the relay's own group.
// Returns false where this process has no cgroup v2 hierarchy in view.
bool find_own_group_path(char* path, std::size_t size);

// Reads what a file holds, up to `size` - 1 bytes, and ends it with a NUL; a
// file longer than that is cut after its last whole line, so that no number is
// taken for a shorter one. Returns the length, or -1. Async-signal-safe.
long read_whole(int dir, const char* name, char* buffer, std::size_t size);

}  // namespace brindock
