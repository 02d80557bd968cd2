#include "relay/launcher.hpp"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "relay/terminal.hpp"

// Kernel headers before 5.3 lack the number, which is the same on every
// architecture but alpha; a kernel without the call refuses it with ENOSYS.
#if !defined(SYS_clone3) && !defined(__alpha__)
#define SYS_clone3 435
#endif

namespace brindock {
namespace {

#ifdef BRINDOCK_HAVE_STRERRORDESC_NP
// The C library's own text, without strerror's locale lookup and buffer.
const char* error_description(int error)
{
    return strerrordesc_np(error);
}
#else
// C libraries without strerrordesc_np (glibc before 2.32): their texts for the
// errors that starting the shell can meet, a sandbox's refusal included, as
// strerror gives them in the "C" locale.
struct error_text {
    int error;
    const char* text;
};
constexpr error_text exec_errors[] = {
    {E2BIG, "Argument list too long"},
    {EACCES, "Permission denied"},
    {EAGAIN, "Resource temporarily unavailable"},
    {EFAULT, "Bad address"},
    {EINVAL, "Invalid argument"},
    {EIO, "Input/output error"},
    {EISDIR, "Is a directory"},
    {ELIBBAD, "Accessing a corrupted shared library"},
    {ELOOP, "Too many levels of symbolic links"},
    {EMFILE, "Too many open files"},
    {ENAMETOOLONG, "File name too long"},
    {ENFILE, "Too many open files in system"},
    {ENOENT, "No such file or directory"},
    {ENOEXEC, "Exec format error"},
    {ENOMEM, "Cannot allocate memory"},
    {ENOSYS, "Function not implemented"},
    {ENOTDIR, "Not a directory"},
    {EPERM, "Operation not permitted"},
    {ETXTBSY, "Text file busy"},
};

const char* error_description(int error)
{
    for (const error_text& known : exec_errors) {
        if (known.error == error) {
            return known.text;
        }
    }
    return nullptr;
}
#endif

void append_text(char* message, std::size_t size, std::size_t& length, const char* text)
{
    for (; *text != '\0' && length < size; ++text) {
        message[length++] = *text;
    }
}

#ifndef BRINDOCK_HAVE_STRERRORDESC_NP
void append_number(char* message, std::size_t size, std::size_t& length, int number)
{
    char digits[16];
    std::size_t count = 0;
    auto rest = static_cast<unsigned>(number);
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (count > 0 && length < size) {
        message[length++] = digits[--count];
    }
}
#endif

// Writes "execl: <description>\n" to standard error in one write, touching only
// the stack: the child may call nothing that is not async-signal-safe.
void report_exec_failure(int error)
{
    char message[256] = "execl: ";
    std::size_t length = 7;
    const std::size_t room = sizeof message - 1;  // the line feed always fits
    const char* description = error_description(error);
    append_text(message, room, length, description != nullptr ? description : "Unknown error");
#ifndef BRINDOCK_HAVE_STRERRORDESC_NP
    // The list above may lack an error the C library knows: the number lets
    // it be looked up, as strerror's own text for an unknown error has it.
    if (description == nullptr) {
        append_text(message, room, length, " ");
        append_number(message, room, length, error);
    }
#endif
    message[length++] = '\n';
    if (write(STDERR_FILENO, message, length) < 0) {
    }
}

// The relay's handlers must not run in the shell's place; exec would reset
// them anyway, this also covers the moments before exec. Signals inherited as
// ignored stay so.
void restore_handled_signals()
{
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (const int signal_number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaction(signal_number, &default_action, nullptr);
        }
    }
}

// Leads a group of its own, so that the whole of what the command starts can be
// ended at once, and says so, and whether it is in the control group, before
// anything of it runs.
void lead_own_group(int group_report, bool in_control_group)
{
    if (group_report < 0) {
        return;
    }
    setpgid(0, 0);
    const command_report report{getpid(), in_control_group ? 1 : 0};
    if (write(group_report, &report, sizeof report) < 0) {
    }
}

// The kernel's clone_args as of 5.7, which added the control group; kernel
// headers before it lack the structure.
struct clone_arguments {
    std::uint64_t flags;
    std::uint64_t pidfd;
    std::uint64_t child_tid;
    std::uint64_t parent_tid;
    std::uint64_t exit_signal;
    std::uint64_t stack;
    std::uint64_t stack_size;
    std::uint64_t tls;
    std::uint64_t set_tid;
    std::uint64_t set_tid_size;
    std::uint64_t cgroup;
};
constexpr std::uint64_t clone_into_cgroup = 0x200000000ULL;

// fork, but where `control_group` is open and the kernel places a new process
// in it (5.7 and later, where the group takes processes and the caller may
// move them there), the child starts inside it: nothing of the command ever
// runs outside. Any refusal, whatever its reason, takes the plain fork.
pid_t fork_into(int control_group, bool& in_control_group)
{
    in_control_group = false;
    if (control_group >= 0) {
        clone_arguments arguments{};
        arguments.flags = clone_into_cgroup;
        arguments.exit_signal = SIGCHLD;
        arguments.cgroup = static_cast<std::uint64_t>(control_group);
        const long pid = syscall(SYS_clone3, &arguments, sizeof arguments);
        if (pid >= 0) {
            in_control_group = true;
            return static_cast<pid_t>(pid);
        }
    }
    return fork();
}

// The ends the child is given: pipes (an unused one is -1, -1) and, in
// terminal mode, the terminal's slave and the pipe that says its session is
// there.
struct child_ends {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int error[2] = {-1, -1};
    int terminal = -1;
    bool terminal_input = false;
    int session_made = -1;  // the write end, closed once the session is made
};

void close_pair(const int ends[2])
{
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0) {
            close(ends[i]);
        }
    }
}

[[noreturn]] void run_shell_in_child(const char* command, const child_ends& ends, int group_report,
                                     bool in_control_group)
{
    // Restored first: a signal sent to the new group must not find the relay's handler.
    restore_handled_signals();
    if (ends.terminal >= 0) {
        // Before leading a group: a group leader cannot start a session.
        take_controlling_terminal(ends.terminal);
        close(ends.session_made);
    }
    lead_own_group(group_report, in_control_group);
    dup2(ends.terminal_input ? ends.terminal : ends.input[0], STDIN_FILENO);
    dup2(ends.terminal >= 0 ? ends.terminal : ends.output[1], STDOUT_FILENO);
    // The standard descriptors are always open here, so these ends lie above
    // 2; the terminal's slave is close-on-exec.
    close_pair(ends.input);
    close_pair(ends.output);
    // From here on even a failed exec is reported through the pipe.
    if (ends.error[1] >= 0) {
        dup2(ends.error[1], STDERR_FILENO);
        close_pair(ends.error);
    } else if (ends.terminal >= 0) {
        dup2(ends.terminal, STDERR_FILENO);
    }

    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    report_exec_failure(errno);
    _exit(1);
}

// Waits until the child has made its session: until then the group that
// signals are sent to does not exist.
void wait_for_session(int session_made[2])
{
    close(session_made[1]);
    char ignored = 0;
    while (read(session_made[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(session_made[0]);
}

void hand_over(int end, int* destination)
{
    if (destination != nullptr) {
        *destination = end;
    } else {
        close(end);
    }
}

// Closes what was made so far, keeping errno, so that a caller that frees
// descriptors can try again.
void close_pipes(std::initializer_list<const int*> pipes)
{
    const int error = errno;
    for (const int* ends : pipes) {
        close(ends[0]);
        close(ends[1]);
    }
    errno = error;
}

// Makes the pipes `ends` needs, none where the terminal takes a pipe's place,
// and the relay's ends non-blocking: only they wait for readiness. Closes
// what it made when one cannot be made.
bool make_pipes(child_ends& ends, bool want_error, int session_made[2])
{
    const bool made = (ends.terminal_input || pipe2(ends.input, O_CLOEXEC) == 0) &&
                      (ends.terminal >= 0 || pipe2(ends.output, O_CLOEXEC) == 0) &&
                      (!want_error || pipe2(ends.error, O_CLOEXEC) == 0) &&
                      (ends.terminal < 0 || pipe2(session_made, O_CLOEXEC) == 0);
    if (!made) {
        close_pipes({ends.input, ends.output, ends.error});
        return false;
    }
    for (const int end : {ends.input[1], ends.output[0], ends.error[0]}) {
        if (end >= 0) {
            fcntl(end, F_SETFL, O_NONBLOCK);
        }
    }
    ends.session_made = session_made[1];
    return true;
}

}  // namespace

pid_t spawn_shell_command(const char* command, int* child_input, int* child_output,
                          int group_report, int control_group, int* child_error, int terminal_slave,
                          bool terminal_input)
{
    child_ends ends;
    ends.terminal = terminal_slave;
    ends.terminal_input = terminal_slave >= 0 && terminal_input;
    int session_made[2] = {-1, -1};
    if (!make_pipes(ends, child_error != nullptr, session_made)) {
        return -1;
    }
    bool in_control_group = false;
    const pid_t pid = fork_into(control_group, in_control_group);
    if (pid < 0) {
        close_pipes({ends.input, ends.output, ends.error, session_made});
        return pid;
    }
    if (pid == 0) {
        run_shell_in_child(command, ends, group_report, in_control_group);
    }
    if (terminal_slave >= 0) {
        wait_for_session(session_made);
    } else if (group_report >= 0) {
        setpgid(pid, pid);  // also here, so that it holds whichever runs first
    }
    hand_over(ends.input[1], child_input);
    hand_over(ends.output[0], child_output);
    if (child_error != nullptr) {
        *child_error = ends.error[0];
    }
    return pid;
}

}  // namespace brindock
