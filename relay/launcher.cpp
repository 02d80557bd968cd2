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

void close_pair(const int ends[2])
{
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0) {
            close(ends[i]);
        }
    }
}

// `session_made`: in terminal mode, the write end that is closed once the
// child's session, and so its process group, exists.
[[noreturn]] void run_shell_in_child(const char* command, const shell_pipes& pipes, bool own_group,
                                     int session_made)
{
    // Restored first: a signal sent to the new group must not find the relay's handler.
    restore_handled_signals();
    if (pipes.terminal >= 0) {
        // A session leads a group of its own; a group leader could not start one.
        take_controlling_terminal(pipes.terminal);
        close(session_made);
    } else if (own_group) {
        // So that the whole of what the command starts can be ended at once
        // where nothing else can be found.
        setpgid(0, 0);
    }
    dup2(pipes.terminal_input ? pipes.terminal : pipes.input[0], STDIN_FILENO);
    dup2(pipes.terminal >= 0 ? pipes.terminal : pipes.output[1], STDOUT_FILENO);
    // The standard descriptors are always open here, so these ends lie above
    // 2; the terminal's slave is close-on-exec.
    close_pair(pipes.input);
    close_pair(pipes.output);
    // From here on even a failed exec is reported through the pipe.
    if (pipes.error[1] >= 0) {
        dup2(pipes.error[1], STDERR_FILENO);
        close_pair(pipes.error);
    } else if (pipes.terminal >= 0) {
        dup2(pipes.terminal, STDERR_FILENO);
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
    } else if (end >= 0) {
        close(end);
    }
}

}  // namespace

void close_shell_pipes(const shell_pipes& pipes)
{
    const int error = errno;
    for (const int* ends : {pipes.input, pipes.output, pipes.error}) {
        close_pair(ends);
    }
    errno = error;
}

int make_shell_pipes(shell_pipes& pipes, bool with_error, int terminal_slave, bool terminal_input)
{
    pipes = {};
    pipes.terminal = terminal_slave;
    pipes.terminal_input = terminal_slave >= 0 && terminal_input;
    // None where the terminal takes a pipe's place.
    if ((!pipes.terminal_input && pipe2(pipes.input, O_CLOEXEC) != 0) ||
        (pipes.terminal < 0 && pipe2(pipes.output, O_CLOEXEC) != 0) ||
        (with_error && pipe2(pipes.error, O_CLOEXEC) != 0)) {
        close_shell_pipes(pipes);
        pipes = {};
        return -1;
    }
    // Only the relay's own ends wait for readiness; the child's stay blocking.
    for (const int end : {pipes.input[1], pipes.output[0], pipes.error[0]}) {
        if (end >= 0) {
            fcntl(end, F_SETFL, O_NONBLOCK);
        }
    }
    return 0;
}

pid_t fork_shell(const char* command, const shell_pipes& pipes, int control_group, bool own_group,
                 bool& joined)
{
    int session_made[2] = {-1, -1};
    if (pipes.terminal >= 0 && pipe2(session_made, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork_into(control_group, joined);
    if (pid == 0) {
        run_shell_in_child(command, pipes, own_group, session_made[1]);
    }
    if (pipes.terminal >= 0) {
        wait_for_session(session_made);
    } else if (pid > 0 && own_group) {
        setpgid(pid, pid);  // also here, so that it holds whichever runs first
    }
    return pid;
}

void hand_over_relay_ends(const shell_pipes& pipes, int* child_input, int* child_output,
                          int* child_error)
{
    hand_over(pipes.input[1], child_input);
    hand_over(pipes.output[0], child_output);
    hand_over(pipes.error[0], child_error);
}

pid_t spawn_shell_command(const char* command, int* child_input, int* child_output,
                          int* child_error, int terminal_slave, bool terminal_input)
{
    shell_pipes pipes;
    if (make_shell_pipes(pipes, child_error != nullptr, terminal_slave, terminal_input) != 0) {
        return -1;
    }
    bool joined = false;
    const pid_t pid = fork_shell(command, pipes, -1, false, joined);
    if (pid < 0) {
        close_shell_pipes(pipes);
        return pid;
    }
    hand_over_relay_ends(pipes, child_input, child_output, child_error);
    return pid;
}

}  // namespace brindock
