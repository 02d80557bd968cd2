// Reading what /proc says of a process: its state and parent, its children
// (listed per thread), the relay's own start time. Raw system calls and the
// caller's buffers only, so all of it is async-signal-safe and fit for the
// watchdog; nothing is kept between calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace brindock {

// /proc where it is mounted, open as a directory (close-on-exec); -1 where it
// is not: an empty folder in its place would show no process at all.
int open_proc();

// What /proc/PID/stat says of one process.
struct process_stat {
    char state = '?';  // Z for a zombie, X once dead
    long parent = 0;
    long group = 0;  // its process group
};

// Reads /proc/<pid>/stat through `proc`. False once the process is gone.
bool read_process_stat(int proc, long pid, process_stat& stat);

// The relay's start time in clock ticks after boot, 0 where /proc cannot say.
long own_start_time();

// The children of process `pid`, as its threads list them, into `into` (room
// for `room`). Returns how many were stored; `whole` is cleared when some were
// left out (no room, a list that could not be read to its end, a kernel that
// lists none).
std::size_t list_children(int proc, long pid, pid_t* into, std::size_t room, bool& whole);

}  // namespace brindock
