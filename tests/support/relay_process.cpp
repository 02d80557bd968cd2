#include "support/relay_process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

// Kernel headers before 5.3 lack the number, the same on every architecture
// but alpha; a kernel without the call refuses it, and the harness then waits
// as it would without the descriptor.
#if !defined(SYS_pidfd_open) && !defined(__alpha__)
#define SYS_pidfd_open 434
#endif

namespace brindock_test {
namespace {

using clock = std::chrono::steady_clock;

struct pipe_pair {
    int read_end = -1;
    int write_end = -1;
};

pipe_pair make_pipe(int flags = 0)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | flags) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    }
    // Kept above the standard descriptors, which the relay's side takes over.
    for (int& end : ends) {
        if (end >= 0 && end <= 2) {
            const int moved = fcntl(end, F_DUPFD_CLOEXEC, 3);
            close(end);
            end = moved;
        }
    }
    return {ends[0], ends[1]};
}

pipe_pair make_socket_pair(int type)
{
    int ends[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    }
    return {ends[0], ends[1]};
}

// A raw pseudo-terminal: the controller reads the master, the relay writes the
// other side.
pipe_pair make_terminal()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const int other = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    struct termios raw {};
    if (other < 0 || tcgetattr(other, &raw) != 0) {
        ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
    }
    cfmakeraw(&raw);
    tcsetattr(other, TCSANOW, &raw);
    return {master, other};
}

bool is_socket(input_channel channel)
{
    return channel != input_channel::pipe && channel != input_channel::packet_pipe;
}

pipe_pair make_input(input_channel channel)
{
    switch (channel) {
        case input_channel::stream_socket:
            return make_socket_pair(SOCK_STREAM);
        case input_channel::seqpacket_socket:
            return make_socket_pair(SOCK_SEQPACKET);
        case input_channel::datagram_socket:
            return make_socket_pair(SOCK_DGRAM);
        case input_channel::packet_pipe:
            return make_pipe(O_DIRECT);
        case input_channel::pipe:
            break;
    }
    return make_pipe();
}

void close_if_open(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

[[noreturn]] void exec_relay(const relay_request& request, std::vector<char*>& argv, pipe_pair in,
                             pipe_pair out, pipe_pair err)
{
    dup2(in.read_end, 0);
    dup2(out.write_end, 1);
    dup2(err.write_end, 2);
    signal(SIGPIPE, request.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (request.nonblocking) {
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
    }
    if (request.descriptor_limit > 0) {
        const auto limit = static_cast<rlim_t>(request.descriptor_limit);
        struct rlimit lowered {
            limit, limit
        };
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    if (request.before_exec) {
        request.before_exec();
    }
    execv(argv[0], argv.data());
    _exit(127);
}

// Feeds the controller's writes, collects both outputs, and notices the
// relay's end through a process descriptor, all from one poll.
struct session {
    const relay_request& request;
    int input = -1, output = -1, error = -1, process = -1;
    std::size_t next_write = 0, write_offset = 0;
    bool reaped = false;
    bool output_held = false;
    relay_result result;
    clock::time_point next_write_at = clock::now() + request.pause_before_each_write;

    std::string answers{};  // the controller's answers to packets, not yet written
    std::size_t answered_at = 0;

    bool pausing() const
    {
        return planned_pending() && write_offset == 0 && clock::now() < next_write_at;
    }

    bool planned_pending() const
    {
        return next_write < request.writes.size();
    }

    bool writes_pending() const
    {
        return planned_pending() || !answers.empty();
    }

    // Answers may go now: not inside a write, and only once all are made
    // unless they go between them.
    bool answering() const
    {
        return !answers.empty() && write_offset == 0 &&
               (!planned_pending() || request.answers_between_writes);
    }

    // The body length of the whole packet of the output at `at`; false while
    // it has not all come.
    bool whole_packet_at(std::size_t at, std::size_t& length) const
    {
        if (at + 4 > result.out.size()) {
            return false;
        }
        const auto* header = reinterpret_cast<const unsigned char*>(result.out.data() + at);
        length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                 std::size_t{header[2]} << 8 | header[3];
        return at + 4 + length <= result.out.size();
    }

    void answer_new_packets()
    {
        for (std::size_t length = 0;
             request.answer_packet && whole_packet_at(answered_at, length);) {
            answers +=
                request.answer_packet(std::string_view(result.out).substr(answered_at + 4, length));
            answered_at += 4 + length;
        }
    }

    // Payload bytes in the whole packets that have come back so far; what
    // has been counted is not walked again.
    mutable std::size_t counted_at = 0, counted = 0;
    std::size_t payload_back() const
    {
        for (std::size_t length = 0; whole_packet_at(counted_at, length);) {
            counted += length - (request.channel_packets ? 1 : 0);
            counted_at += 4 + length;
        }
        return counted;
    }

    bool answer_is_back() const
    {
        return next_write >= request.output_before_write.size() ||
               payload_back() >= request.output_before_write[next_write];
    }

    bool relay_has_taken_input() const
    {
        int unread = 0;
        return !request.drain_between_writes ||
               ioctl(input, is_socket(request.input) ? SIOCOUTQ : FIONREAD, &unread) != 0 ||
               unread == 0;
    }

    // What the relay left in its input, then the writes never made. The relay
    // has ended, so its end no longer shares our reads or our flags.
    void read_back(int relay_end)
    {
        fcntl(relay_end, F_SETFL, fcntl(relay_end, F_GETFL) | O_NONBLOCK);
        std::array<char, 65536> chunk;
        for (ssize_t n; (n = read(relay_end, chunk.data(), chunk.size())) > 0;) {
            result.unread_input.append(chunk.data(), static_cast<std::size_t>(n));
        }
        for (; planned_pending(); ++next_write, write_offset = 0) {
            result.unread_input.append(request.writes[next_write], write_offset);
        }
    }

    // Writes what it can of the answers; false when the relay takes no more now.
    bool feed_answers()
    {
        while (answering()) {
            const ssize_t n = write(input, answers.data(), answers.size());
            if (n < 0) {
                if (errno != EAGAIN) {
                    result.input_error = errno;
                    answers.clear();
                }
                return false;
            }
            answers.erase(0, static_cast<std::size_t>(n));
        }
        return true;
    }

    void feed()
    {
        if (input >= 0 && !feed_answers()) {
            return;
        }
        while (planned_pending() && relay_has_taken_input() && answer_is_back() && !pausing()) {
            const std::string& chunk = request.writes[next_write];
            if (write_offset == 0) {
                result.output_at_write.push_back(result.out.size());
            }
            const ssize_t n =
                write(input, chunk.data() + write_offset, chunk.size() - write_offset);
            if (n < 0) {
                if (errno != EAGAIN) {
                    result.input_error = errno;
                    next_write = request.writes.size();  // the relay stopped reading
                    if (request.give_up_at_failed_write) {
                        close_if_open(input);
                        close_if_open(output);
                        result.out.clear();
                    }
                }
                return;
            }
            write_offset += static_cast<std::size_t>(n);
            if (write_offset == chunk.size()) {
                ++next_write;
                write_offset = 0;
                next_write_at = clock::now() + request.pause_before_each_write;
                if (!feed_answers()) {
                    return;
                }
            }
        }
        if (input >= 0) {
            feed_answers();
        }
        if (!writes_pending() && request.close_input) {
            close_if_open(input);
        }
    }

    void collect(int& fd, std::string& into)
    {
        std::array<char, 65536> chunk;
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            into.append(chunk.data(), static_cast<std::size_t>(n));
            if (&into == &result.out && request.close_output_after >= 0 &&
                into.size() >= static_cast<std::size_t>(request.close_output_after)) {
                close_if_open(fd);
            }
        } else if (n == 0 || errno != EAGAIN) {
            // A terminal's end reads as EIO once its other side has closed.
            siginfo_t ended{};
            result.output_ended_first =
                result.output_ended_first || (&fd == &output &&
                                              waitid(P_PID, static_cast<id_t>(result.pid), &ended,
                                                     WEXITED | WNOHANG | WNOWAIT) == 0 &&
                                              ended.si_pid == 0);
            close_if_open(fd);
            // Nothing more to answer.
            if (request.answer_packet && output < 0) {
                close_if_open(input);
            }
        }
    }

    void reap()
    {
        struct rusage usage {};
        if (wait4(result.pid, &result.wait_status, WNOHANG, &usage) == result.pid) {
            result.peak_kib = usage.ru_maxrss;
            reaped = true;
            close_if_open(process);
        }
    }

    bool done() const
    {
        return reaped && output < 0 &&
               (error < 0 || !request.wait_for_stderr_end || request.leave_error_unread);
    }

    void step(int timeout_ms)
    {
        std::array<pollfd, 4> watched{
            {{input, POLLOUT, 0}, {output, POLLIN, 0}, {error, POLLIN, 0}, {process, POLLIN, 0}}};
        if (input >= 0 && !answering() && (!planned_pending() || !answer_is_back() || pausing())) {
            watched[0].fd = -1;
        }
        if (request.leave_error_unread) {
            watched[2].fd = -1;
        }
        if (request.read_after_writing && planned_pending()) {
            watched[1].fd = -1;
        }
        int unread = 0;
        if (output_held && ioctl(output, FIONREAD, &unread) == 0 &&
            request.hold_output_until(unread, result.err)) {
            output_held = false;
        }
        if (output_held) {
            watched[1].fd = -1;
        }
        // While the relay has yet to take a write, or the output is held, look
        // again shortly.
        const bool draining = input >= 0 && planned_pending() && !relay_has_taken_input();
        if (pausing()) {
            const auto pause =
                std::chrono::duration_cast<std::chrono::milliseconds>(next_write_at - clock::now());
            timeout_ms = std::clamp(static_cast<int>(pause.count()) + 1, 1, timeout_ms);
        }
        poll(watched.data(), watched.size(), draining || output_held ? 1 : timeout_ms);
        feed();
        if (watched[1].revents != 0) {
            collect(output, result.out);
            answer_new_packets();
        }
        if (watched[2].revents != 0) {
            collect(error, result.err);
        }
        if (watched[3].revents != 0 || process < 0) {
            reap();
        }
    }
};

}  // namespace

bool relay_result::exited_with(int code) const
{
    return finished && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

bool relay_result::killed_by(int signal_number) const
{
    return finished && WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == signal_number;
}

namespace {

// A program named without a folder, found as a shell would, so that programs
// that exec their arguments by path (refuse_call) can start it too.
std::string on_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(program.find('/') == std::string::npos && path != nullptr ? path
                                                                                         : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return program;
}

// The setting read once: the emulator's words, then the relay.
struct tested_relays {
    std::vector<std::string> emulator;
    std::string brindock = BRINDOCK_BINARY;
    std::string small_hold = BRINDOCK_SMALL_HOLD_BINARY;
};

const tested_relays& relays()
{
    static const tested_relays chosen = [] {
        tested_relays r;
        const char* setting = std::getenv("BRINDOCK_TEST_RELAY");
        std::vector<std::string> words;
        std::istringstream split(setting != nullptr ? setting : "");
        // The harness's own setting: no relay is to see it, and say so.
        unsetenv("BRINDOCK_TEST_RELAY");
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
        if (!words.empty()) {
            r.brindock = words.back();
            words.pop_back();
            r.emulator = words;
            if (!words.empty()) {
                r.emulator.front() = on_path(words.front());
            }
            const std::size_t slash = r.brindock.rfind('/');
            r.small_hold =
                (slash == std::string::npos ? std::string(".") : r.brindock.substr(0, slash)) +
                "/tests/brindock_small_hold";
        }
        return r;
    }();
    return chosen;
}

}  // namespace

std::string relay_binary()
{
    return relays().brindock;
}

std::string small_hold_binary()
{
    return relays().small_hold;
}

bool under_emulation()
{
    return !relays().emulator.empty();
}

std::vector<std::string> relay_command(const std::string& binary)
{
    std::vector<std::string> words;
    if (binary == relays().brindock || binary == relays().small_hold) {
        words = relays().emulator;
    }
    words.push_back(binary);
    return words;
}

std::string relay_command_line(const std::string& binary)
{
    std::string line;
    for (const std::string& word : relay_command(binary)) {
        line += (line.empty() ? "" : " ") + word;
    }
    return line;
}

relay_result run_relay(const relay_request& request)
{
    std::vector<std::string> words =
        relay_command(request.binary.empty() ? relay_binary() : request.binary);
    words.insert(words.end(), request.args.begin(), request.args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pipe_pair in = make_input(request.input);
    pipe_pair out = request.output_terminal ? make_terminal() : make_pipe(), err = make_pipe();
    session s{request, -1, -1, -1, -1, 0, 0, false, bool(request.hold_output_until), {}};
    s.result.pid = fork();
    if (s.result.pid == 0) {
        exec_relay(request, argv, in, out, err);
    }
    if (!request.read_back_input) {
        close_if_open(in.read_end);
    }
    close(out.write_end);
    close(err.write_end);
    s.input = in.write_end;
    s.output = out.read_end;
    s.error = err.read_end;
    for (int fd : {s.input, s.output, s.error}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    s.process = static_cast<int>(syscall(SYS_pidfd_open, s.result.pid, 0));

    const auto deadline = clock::now() + request.deadline;
    s.feed();
    while (!s.done() && clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        s.step(static_cast<int>(std::max<long>(left.count(), 1)));
    }
    s.result.finished = s.done();
    if (!s.reaped) {
        kill(s.result.pid, SIGKILL);
        waitpid(s.result.pid, &s.result.wait_status, 0);
    }
    if (in.read_end >= 0) {
        s.read_back(in.read_end);
    }
    for (int* fd : {&s.input, &s.output, &s.error, &s.process, &in.read_end}) {
        close_if_open(*fd);
    }
    return s.result;
}

int give_file_input(relay_request& request, const std::string& bytes)
{
    const int file = memfd_create("input", MFD_CLOEXEC);
    if (file < 0 || write(file, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        lseek(file, 0, SEEK_SET) != 0) {
        ADD_FAILURE() << "memfd: " << std::strerror(errno);
    }
    request.before_exec = [file] { dup2(file, STDIN_FILENO); };
    return file;
}

relay_result run_command(const std::string& command, std::vector<std::string> writes,
                         const std::string& binary)
{
    relay_request request;
    request.args = {command};
    request.writes = std::move(writes);
    request.binary = binary;
    return run_relay(request);
}

scoped_variable::scoped_variable(const char* variable, const char* value) : name(variable)
{
    if (const char* before = std::getenv(name); before != nullptr) {
        was_set = true;
        previous = before;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

scoped_variable::~scoped_variable()
{
    if (was_set) {
        setenv(name, previous.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

void ask_for_no_control_groups()
{
    setenv("BRINDOCK_NO_CONTROL_GROUP", "1", 1);
}

std::string packet(std::string_view body)
{
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string framed{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 8), static_cast<char>(length)};
    framed.append(body);
    return framed;
}

std::vector<std::string> split_packets(std::string_view stream)
{
    std::vector<std::string> packets;
    while (!stream.empty()) {
        if (stream.size() < 4) {
            ADD_FAILURE() << "stream ends inside a header";
            break;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
        const std::size_t length = (std::size_t{bytes[0]} << 24) | (std::size_t{bytes[1]} << 16) |
                                   (std::size_t{bytes[2]} << 8) | std::size_t{bytes[3]};
        if (length < 1 || length > 65532 || stream.size() - 4 < length) {
            ADD_FAILURE() << "bad packet of length " << length << " with " << stream.size() - 4
                          << " bytes left";
            break;
        }
        packets.emplace_back(stream.substr(4, length));
        stream.remove_prefix(4 + length);
    }
    return packets;
}

std::string join(const std::vector<std::string>& pieces)
{
    std::string joined;
    for (const std::string& piece : pieces) {
        joined += piece;
    }
    return joined;
}

std::string channel_packet(char kind, std::string_view payload)
{
    std::string body(1, kind);
    body.append(payload.data(), payload.size());
    return packet(body);
}

std::vector<kind_and_payload> split_channel(std::string_view stream)
{
    std::vector<kind_and_payload> packets;
    for (const std::string& body : split_packets(stream)) {
        packets.push_back({static_cast<unsigned char>(body[0]), body.substr(1)});
    }
    return packets;
}

std::string joined_kind(const std::vector<kind_and_payload>& packets, int kind)
{
    std::string joined;
    for (const kind_and_payload& packet : packets) {
        joined += packet.kind == kind ? packet.payload : "";
    }
    return joined;
}

std::string pattern_bytes(std::size_t length, std::uint32_t seed)
{
    std::string bytes(length, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void adopt_orphans()
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        ADD_FAILURE() << "PR_SET_CHILD_SUBREAPER: " << std::strerror(errno);
    }
}

std::vector<orphan> collect_orphans(std::chrono::milliseconds grace)
{
    // Adopted processes are listed as children of whichever of our threads
    // took them in; the relays themselves have been reaped by run_relay.
    std::vector<orphan> found;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* task = readdir(tasks)) {
            std::ifstream children(std::string("/proc/self/task/") + task->d_name + "/children");
            for (pid_t pid; children >> pid;) {
                found.push_back({pid, false, 0});
            }
        }
        closedir(tasks);
    }
    const auto deadline = clock::now() + grace;
    for (orphan& o : found) {
        const int process = static_cast<int>(syscall(SYS_pidfd_open, o.pid, 0));
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (process >= 0 && left.count() > 0) {
            pollfd watched{process, POLLIN, 0};
            poll(&watched, 1, static_cast<int>(left.count()));
        }
        if (process >= 0) {
            close(process);
        }
        if (waitpid(o.pid, &o.wait_status, WNOHANG) != o.pid) {
            o.was_running = true;
            kill(o.pid, SIGKILL);
            waitpid(o.pid, &o.wait_status, 0);
        }
    }
    return found;
}

}  // namespace brindock_test
