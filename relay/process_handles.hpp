// Process descriptors: a descriptor that pins one process, so that a signal
// sent through it reaches that process or fails, never one that was given
// its number later. Raw system calls, async-signal-safe. Kernels before 5.3
// lack them and refuse them with ENOSYS; kernel headers before 5.3 lack the
// numbers, which are the same on every architecture but alpha.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#if !defined(SYS_pidfd_open) && !defined(__alpha__)
#define SYS_pidfd_open 434
#endif
#if !defined(SYS_pidfd_send_signal) && !defined(__alpha__)
#define SYS_pidfd_send_signal 424
#endif

namespace brindock {

// A descriptor of process `pid` (close-on-exec), or -1 with errno set.
inline int open_process(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Sends `signal_number` (0: none, only the check) to the process of `fd`;
// 0, or -1 with errno set (ESRCH once it has been reaped).
inline int signal_process(int fd, int signal_number)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, signal_number, nullptr, 0));
}

}  // namespace brindock
