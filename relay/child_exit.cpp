#include "relay/child_exit.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "relay/descriptors.hpp"
#include "relay/process_handles.hpp"
#include "relay/tied_mode.hpp"

namespace brindock {
namespace {

volatile std::sig_atomic_t child_exited = 0;
// Tied: a SIGCHLD or the process descriptor said something happened to some
// child; whether the command ended is found out outside the handler.
volatile std::sig_atomic_t child_event = 0;
volatile std::sig_atomic_t tied_to_command = 0;
volatile std::sig_atomic_t controller_left = 0;
// Tied: standard output is still the controller's, so its loss means the
// controller has gone.
bool watching_output = true;
volatile pid_t command = -1;
// Tied: the command has ended; it is left unreaped until the relay's end.
volatile std::sig_atomic_t command_ended = 0;
// Both ends are non-blocking and close-on-exec; -1 until opened, which happens
// before the command is launched. The handler reads the write end, so it is
// stored last.
int event_read_end = -1;
volatile std::sig_atomic_t event_write_end = -1;
// Readable once the command has ended; -1 where the kernel has no such thing.
// Tied, the watchdog's reports, which say when and how it ended.
int command_process = -1;
// Tied: the command's status, as waitpid gives it, once it has ended.
int command_status = 0;

constexpr nfds_t max_watched = 5;

// Tied: notes whether the watchdog has reported the command's end. The
// watchdog, its parent, leaves it unreaped until the relay's end.
void note_end_if_ended()
{
    if (command_ended == 0 && command_end_reported(command_status)) {
        command_ended = 1;
        child_exited = 1;
    }
}

// Empties the event pipe, whose bytes only ever meant "look again".
void drain_events()
{
    char bytes[64];
    while (read(event_read_end, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

void proc_exit(int /*signal_number*/)
{
    if (event_write_end < 0) {
        _exit(0);
    }
    const int saved_errno = errno;
    if (tied_to_command != 0) {
        child_event = 1;
    } else {
        child_exited = 1;
    }
    // One byte is enough to wake the wait; a full pipe already holds one.
    if (write(event_write_end, "", 1) < 0) {
    }
    errno = saved_errno;
}

void install_child_exit_handler()
{
    struct sigaction action {};
    action.sa_handler = proc_exit;
    sigemptyset(&action.sa_mask);
    // No SA_NOCLDSTOP: a stopped or continued child ends the relay too. No
    // SA_RESTART: a blocking read or write returns EINTR, and the caller sees
    // the event, instead of resuming and waiting on.
    action.sa_flags = 0;
    sigaction(SIGCHLD, &action, nullptr);
}

bool open_child_exit_event()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    event_read_end = ends[0];
    event_write_end = ends[1];
    return true;
}

void watch_command(pid_t pid, bool tied)
{
    command = pid;
    tied_to_command = tied ? 1 : 0;
    // Close-on-exec by nature. The command is not reaped before this, so even
    // one that has already ended can be opened.
    command_process = tied ? command_reports() : open_process(pid);
    // A SIGCHLD that came before the flag was set counted as the end: look
    // again, this time at the command alone.
    if (tied && child_exited != 0) {
        child_exited = 0;
        child_event = 1;
    }
}

bool child_exit_seen()
{
    if (tied_to_command != 0 && child_event != 0) {
        child_event = 0;
        note_end_if_ended();
    }
    return child_exited != 0;
}

bool controller_gone()
{
    return controller_left != 0;
}

pid_t command_pid()
{
    return command;
}

void reap_ended_command()
{
    if (command > 0) {
        waitpid(command, nullptr, WNOHANG);
    }
}

int ended_command_status()
{
    return command_status;
}

void stop_watching_output()
{
    watching_output = false;
}

bool wait_for_event(pollfd* watched, nfds_t count, int timeout_ms, int spin_us,
                    bool* found_spinning)
{
    count = std::min(count, max_watched);
    pollfd all[max_watched + 3];
    std::copy(watched, watched + count, all);
    // Once the command's end is known, its descriptor stays readable for good.
    const bool ended = child_exit_seen();
    all[count] = {event_read_end, POLLIN, 0};
    all[count + 1] = {ended ? -1 : command_process, POLLIN, 0};
    // No events asked for: only an error or a hang-up is reported.
    all[count + 2] = {tied_to_command != 0 && watching_output ? STDOUT_FILENO : -1, 0, 0};
    // A poll that fails is left to the caller's next call to find out about.
    bool spun = false;
    const int ready = poll_spinning_first(all, count + 3, timeout_ms, spin_us, &spun);
    if (found_spinning != nullptr) {
        *found_spinning = spun;
    }
    if (ready > 0) {
        if (all[count].revents != 0) {
            drain_events();
        }
        if (tied_to_command != 0) {
            if ((all[count].revents | all[count + 1].revents) != 0) {
                child_event = 1;
            }
            if (all[count + 2].revents != 0) {
                controller_left = 1;
            }
        } else if ((all[count].revents | all[count + 1].revents) != 0) {
            child_exited = 1;
        }
    }
    for (nfds_t i = 0; i < count; ++i) {
        watched[i].revents = ready > 0 ? all[i].revents : short{0};
    }
    return ready != 0;
}

}  // namespace brindock
