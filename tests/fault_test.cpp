// Faults around the real brindock: a controller that stops reading, commands
// that die, stop or leave writers behind, foreign children, too few
// descriptors, odd standard descriptors, and what the command is handed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "relay/descriptors.hpp"
#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;
using std::chrono::milliseconds;

const std::string launch_failure = "Unable to exec your-program-B\n";
const std::string usage = "brindock \"cmd\"\r\n";

// The relay's other child, the one made before exec, found by the command.
const std::string other_child = "$(tr ' ' '\\n' </proc/$PPID/task/$PPID/children | grep -vx $$)";

// A program's arguments that end in a relay's command and its arguments.
std::vector<std::string> then_relay(std::vector<std::string> front, const std::string& binary,
                                    const std::vector<std::string>& back)
{
    for (std::vector<std::string> part : {relay_command(binary), back}) {
        front.insert(front.end(), part.begin(), part.end());
    }
    return front;
}

int running(const std::vector<orphan>& orphans)
{
    return static_cast<int>(std::count_if(orphans.begin(), orphans.end(),
                                          [](const orphan& o) { return o.was_running; }));
}

// A child the relay already has when it starts, made in the forked process
// just before exec. It lets go of every descriptor, so the harness never waits
// on it. Async-signal-safe calls only.
enum class stray { none, waits, stopped, ended };

void make_stray(stray kind)
{
    if (kind == stray::none) {
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        brindock::close_descriptors_from(0);
        if (kind == stray::stopped) {
            raise(SIGSTOP);
        }
        while (kind != stray::ended) {
            pause();
        }
        _exit(0);
    }
    // The stray's own SIGCHLD reaches a process whose handler is not yet
    // installed and is discarded; the relay starts with it stopped or a zombie.
    siginfo_t info;
    if (kind == stray::stopped) {
        waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED);
    } else if (kind == stray::ended) {
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
}

struct lifecycle_case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> writes;
    bool end_input;      // send the end-of-input packet after the writes
    stray child;         // made before exec
    std::string output;  // payload expected back, joined
    std::string error;
    int left_running;  // orphans still running when the relay ended
    // Starts the relay with SIGCHLD blocked, as an event loop that takes its
    // signals through a descriptor passes it on: its handler never runs.
    bool sigchld_blocked = false;
};

TEST(Faults, TheRelayEndsAtEveryChildEventWithStatusZero)
{
    adopt_orphans();
    collect_orphans();  // whatever earlier tests in this process left
    const std::string body = pattern_bytes(300000, 7);
    const std::string stream = pattern_bytes(4 << 20, 8);
    std::string counted;
    for (int n = 1; n <= 200000; ++n) {
        counted += std::to_string(n) + "\n";
    }
    const std::string leave = "; exec sleep 30 2>/dev/null";
    const std::vector<lifecycle_case> cases = {
        {"killed before end of input",
         {"head -c 100000 >/dev/null; kill -9 $$"},
         {packet(std::string(1 << 20, 'x'))},
         false,
         stray::none,
         "",
         "",
         0},
        {"ends with the input left open", {"echo hi"}, {}, false, stray::none, "hi\n", "", 0},
        // What was taken in reaches the command before the relay waits for more.
        {"ends on a few bytes with the input left open",
         {"head -c 3"},
         {packet("ab") + packet("c")},
         false,
         stray::none,
         "abc",
         "",
         0},
        {"writes past a pipe's capacity and ends with the input left open",
         {"seq 200000"},
         {packet("x")},
         false,
         stray::none,
         counted,
         "",
         0},
        // The controller is still streaming when the command ends: the relay
        // takes the rest of its input, so none of its writes fails.
        {"stops reading mid-stream",
         {"head -c 5"},
         {packet(stream)},
         true,
         stray::none,
         stream.substr(0, 5),
         "",
         0},
        {"killed after end of input",
         {"cat; kill -9 $$"},
         {packet(body)},
         true,
         stray::none,
         body,
         "",
         0},
        {"stops itself",
         {"cat; exec 2>/dev/null; kill -STOP $$"},
         {packet(body)},
         true,
         stray::none,
         body,
         "",
         1},
        {"foreign child continued",
         {"kill -CONT " + other_child + leave},
         {packet("x")},
         false,
         stray::stopped,
         "",
         "",
         2},
        {"foreign child ends",
         {"cat; kill " + other_child + leave},
         {packet("abc")},
         true,
         stray::waits,
         "abc",
         "",
         1},
        {"zombie from before start, usage", {"a", "b"}, {}, true, stray::ended, "", usage, 0},
        {"zombie from before start",
         {"tr a-c A-C"},
         {packet("abc")},
         true,
         stray::ended,
         "ABC",
         "",
         0},
        {"background writer keeps the pipe",
         {"sleep 30 2>/dev/null & echo started"},
         {},
         true,
         stray::none,
         "started\n",
         "",
         1},
        {"ends at once, SIGCHLD blocked", {"true"}, {}, false, stray::none, "", "", 0, true},
        {"ends with the input left open, SIGCHLD blocked",
         {"echo hi"},
         {},
         false,
         stray::none,
         "hi\n",
         "",
         0,
         true},
        {"ends after end of input, SIGCHLD blocked",
         {"cat"},
         {packet(body)},
         true,
         stray::none,
         body,
         "",
         0,
         true},
    };
    for (const lifecycle_case& c : cases) {
        SCOPED_TRACE(c.name);
        relay_request request;
        request.args = c.args;
        request.writes = c.writes;
        if (c.end_input) {
            request.writes.push_back(end_of_input);
        }
        request.close_input = c.end_input;
        request.before_exec = [kind = c.child, blocked = c.sigchld_blocked] {
            make_stray(kind);
            if (blocked) {
                sigset_t child_signal;
                sigemptyset(&child_signal);
                sigaddset(&child_signal, SIGCHLD);
                sigprocmask(SIG_BLOCK, &child_signal, nullptr);
            }
        };
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        const std::string got = join(split_packets(r.out));
        EXPECT_TRUE(got == c.output)
            << got.size() << " bytes back, " << c.output.size() << " expected";
        EXPECT_EQ(r.err, c.error);
        // The relay reaps its command, and only it: the one ended process it
        // leaves to this subreaper is a stray that had ended.
        const std::vector<orphan> left = collect_orphans();
        EXPECT_EQ(running(left), c.left_running);
        const bool stray_ended = c.child == stray::ended || c.child == stray::waits;
        EXPECT_EQ(static_cast<int>(left.size()) - running(left), stray_ended ? 1 : 0);
        // However early the command ends, no write of the controller fails.
        EXPECT_EQ(r.input_error, 0);
    }
}

TEST(Faults, ControllerThatStopsReadingEndsTheRelayAndTheCommandAfterIt)
{
    adopt_orphans();
    collect_orphans();  // whatever earlier tests in this process left
    for (const bool ignore : {false, true}) {
        SCOPED_TRACE(ignore ? "SIGPIPE ignored" : "SIGPIPE default");
        relay_request request;
        request.args = {ignore ? "yes" : "cat /dev/zero"};
        request.writes = {end_of_input};
        request.ignore_sigpipe = ignore;
        request.close_output_after = 1 << 20;
        const relay_result r = run_relay(request);
        EXPECT_TRUE(ignore ? r.exited_with(0) : r.killed_by(SIGPIPE)) << r.wait_status;
        // The writer must find out on its own: its reader went with the relay.
        const std::vector<orphan> left = collect_orphans(milliseconds{10000});
        EXPECT_EQ(left.size(), 1u);
        EXPECT_EQ(running(left), 0);
    }
}

TEST(Faults, TooFewDescriptorsIsALaunchFailureAndNineAreEnough)
{
    SKIP_UNDER_EMULATION("the emulator needs descriptors of its own before the relay starts");
    // In a sanitized build the leak check at exit needs a descriptor of its
    // own, which these limits leave none of; it has nothing to do with them.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string saved = inherited != nullptr ? inherited : "";
    setenv("ASAN_OPTIONS", (saved + ":detect_leaks=0").c_str(), 1);
    // Linked dynamically, the relay cannot even load the C library at 3.
    for (int limit = BRINDOCK_RELAY_IS_STATIC ? 3 : 4; limit <= 9; ++limit) {
        relay_request request;
        request.args = {"tr a-z A-Z"};
        request.writes = {packet("ok"), end_of_input};
        request.descriptor_limit = limit;
        request.before_exec = [] { brindock::close_descriptors_from(3); };
        const relay_result r = run_relay(request);
        if (limit < 9) {
            EXPECT_TRUE(r.exited_with(1)) << limit;
            EXPECT_EQ(r.out, launch_failure) << limit;
            EXPECT_EQ(r.err, std::string("brindock: cannot start the command: ") +
                                 std::strerror(EMFILE) + "\n")
                << limit;
        } else {
            EXPECT_TRUE(r.exited_with(0));
            EXPECT_EQ(r.out, packet("OK"));
        }
    }
    if (inherited != nullptr) {
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    } else {
        unsetenv("ASAN_OPTIONS");
    }
}

TEST(Faults, ClosedStandardDescriptorsAreStandInsForNothing)
{
    struct closed_case {
        std::vector<int> closed;
        std::vector<std::string> args;
        std::string output;
    };
    // Nothing is ever seen on a closed standard error, the usage text included.
    const std::vector<closed_case> cases = {
        {{0}, {"echo hi; cat"}, "hi\n"},      {{1}, {"cat"}, ""},       {{2}, {}, ""},
        {{2}, {"echo oops >&2; cat"}, "abc"}, {{0, 1, 2}, {"cat"}, ""},
    };
    for (const closed_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "closed " << testing::PrintToString(c.closed));
        relay_request request;
        request.args = c.args;
        request.writes = {packet("abc"), end_of_input};
        request.before_exec = [closed = c.closed] {
            for (const int fd : closed) {
                close(fd);
            }
        };
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), c.output);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Faults, NonBlockingStandardDescriptorsStillCarryEveryByte)
{
    const std::string input = pattern_bytes(3 << 20, 11);
    // The small hold sends most of it from its spill file.
    for (const std::string& binary : {relay_binary(), small_hold_binary()}) {
        relay_request request;
        request.args = {"cat"};
        request.binary = binary;
        request.nonblocking = true;
        request.drain_between_writes = true;
        // Uneven packets, each its own write, so the relay finds its input empty often.
        for (std::size_t at = 0, size = 1; at < input.size();
             at += size, size = size * 7 % 150001 + 1) {
            request.writes.push_back(packet(input.substr(at, size)));
        }
        request.writes.push_back(end_of_input);
        const relay_result r = run_relay(request);
        ASSERT_TRUE(r.exited_with(0)) << binary << " " << r.wait_status;
        EXPECT_TRUE(join(split_packets(r.out)) == input) << binary;
    }
}

std::set<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(Faults, RefusedOptionalCallsFallBackToThePlainPathWithNothingLost)
{
    // 3 MiB through the small hold: its memory part leaves with vmsplice, the
    // rest through the spill file with sendfile. Each call is refused as a
    // sandbox would, the relay's whole life long. Tied, the command first lists
    // what the watchdog holds once it waits on its pipe.
    // Tied, the watchdog is the command's parent.
    const std::string list_watchdog =
        "w=$PPID"
        "; until grep -q '^State:.*S' /proc/$w/status; do :; done;"
        " echo $(readlink /proc/$w/fd/*) >&2; ";
    const std::string input = pattern_bytes(3 << 20, 12);
    std::string stream;
    for (std::size_t at = 0; at < input.size(); at += 65536) {
        stream += packet(input.substr(at, 65536));
    }
    stream += end_of_input;
    const struct {
        const char* call;
        input_channel channel;
        bool from_file;
    } cases[] = {
        {"tee", input_channel::pipe, false},
        {"vmsplice", input_channel::pipe, false},
        {"splice", input_channel::pipe, false},
        {"pidfd_open", input_channel::pipe, false},
        {"recvfrom", input_channel::stream_socket, false},
        // Only on the relay's input: the shell's loader reads libraries with it.
        {"pread64:0", input_channel::pipe, true},
        {"close_range", input_channel::pipe, false},  // tied: the watchdog's closing
    };
    for (const auto& c : cases) {
        for (const int error : {ENOSYS, EPERM}) {
            SCOPED_TRACE(testing::Message() << c.call << " refused with " << error);
            relay_request request;
            request.binary = REFUSE_CALL_BINARY;
            request.args =
                then_relay({c.call, std::to_string(error)}, small_hold_binary(), {"cat"});
            const bool tied = std::string(c.call) == "close_range";
            if (tied) {
                request.args =
                    then_relay({c.call, std::to_string(error), "/usr/bin/env", "BRINDOCK_TIED=1"},
                               small_hold_binary(), {list_watchdog + "cat"});
                request.deadline = milliseconds{10000};
            }
            request.input = c.channel;
            const int file = c.from_file ? give_file_input(request, stream) : -1;
            if (!c.from_file) {
                request.writes = {stream};
            }
            const relay_result r = run_relay(request);
            if (file >= 0) {
                close(file);
            }
            EXPECT_TRUE(r.exited_with(0)) << r.wait_status << " " << r.err;
            EXPECT_TRUE(join(split_packets(r.out)) == input);
            if (tied) {
                // Its two pipes, its signal descriptor, the control group's
                // directories and /dev/null: none of the relay's own descriptors.
                std::set<std::string> held = words(r.err);
                EXPECT_EQ(held.erase("/dev/null"), 1u) << r.err;
                std::erase_if(held, [](const std::string& name) {
                    return name.rfind("anon_inode:", 0) == 0 ||
                           name.find("cgroup") != std::string::npos;
                });
                EXPECT_TRUE(held.size() == 2 && std::all_of(held.begin(), held.end(),
                                                            [](const std::string& name) {
                                                                return name.rfind("pipe:", 0) == 0;
                                                            }))
                    << r.err;
            }
        }
    }
}

TEST(Faults, InputReadExactlyIsNeverQuietWhileTheControllerStillWrites)
{
    // No way of looking ahead at all: every header and body is read on its
    // own. A controller that writes every 20 ms after its command has ended
    // has every packet taken, up to its end-of-input packet.
    relay_request request;
    request.binary = REFUSE_CALL_BINARY;
    request.args = then_relay({"tee", "38", REFUSE_CALL_BINARY, "preadv2", "38"}, relay_binary(),
                              {"head -c 1"});
    for (int i = 0; i < 12; ++i) {
        request.writes.push_back(packet("x"));
    }
    request.writes.push_back(end_of_input);
    request.pause_before_each_write = milliseconds{20};
    request.read_back_input = true;  // so that the writes never made show
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status << " " << r.err;
    EXPECT_EQ(r.out, packet("x"));
    EXPECT_EQ(r.unread_input, "");
}

TEST(Faults, AShellThatCannotStartIsReportedWithTheCLibrarysText)
{
    // Every error starting a program can meet, and a sandbox's ENOSYS: the
    // child's own text must read as strerror's, whichever C library built it.
    for (const int error :
         {E2BIG, EACCES, EAGAIN, EFAULT, EINVAL, EIO, EISDIR, ELIBBAD, ELOOP, EMFILE, ENAMETOOLONG,
          ENFILE, ENOENT, ENOEXEC, ENOMEM, ENOSYS, ENOTDIR, EPERM, ETXTBSY}) {
        relay_request request;
        request.binary = REFUSE_CALL_BINARY;
        request.args = then_relay({"execve", std::to_string(error)}, relay_binary(), {"cat"});
        request.writes = {packet("x"), end_of_input};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << error;
        EXPECT_EQ(r.err, std::string("execl: ") + std::strerror(error) + "\n");
        EXPECT_EQ(r.out, "") << error;
    }
}

TEST(Descriptors, TheCommandGetsItsPipesAndWhatTheRelayInheritedAndNothingElse)
{
    relay_request request;
    // The shell lists its own descriptors from a child of its own.
    request.args = {"ls /proc/$$/fd; :"};
    request.writes = {end_of_input};
    request.before_exec = [] {
        brindock::close_descriptors_from(3);
        dup2(2, 7);
    };
    const relay_result r = run_relay(request);
    ASSERT_TRUE(r.exited_with(0));
    EXPECT_EQ(words(join(split_packets(r.out))), (std::set<std::string>{"0", "1", "2", "7"}));
}

TEST(Descriptors, TheRelayOpensNothingWhileAStreamFlowsAndClosesItsInputAtTheEnd)
{
    const std::string input = pattern_bytes(8 << 20, 5);
    relay_request request;
    // The first listing waits for a first byte, which the relay sends once it
    // has all it needs to run (the command's process descriptor among them);
    // the last waits until the relay's own input has gone, as the command's
    // end of input comes just before it.
    request.args = {
        "head -c 1; ls /proc/$PPID/fd >&2; echo >&2; head -c 4000000; ls /proc/$PPID/fd >&2;"
        "echo >&2; cat; while [ -e /proc/$PPID/fd/0 ]; do :; done; ls /proc/$PPID/fd >&2"};
    for (std::size_t at = 0; at < input.size(); at += 65536) {
        request.writes.push_back(packet(input.substr(at, 65536)));
    }
    request.writes.push_back(end_of_input);
    const relay_result r = run_relay(request);
    ASSERT_TRUE(r.exited_with(0));
    EXPECT_TRUE(join(split_packets(r.out)) == input);
    // Three listings: at the start, half way through, after the end of input.
    std::vector<std::set<std::string>> listings;
    std::istringstream lines(r.err + "\n");
    for (std::string block, line; std::getline(lines, line);) {
        if (line.empty()) {
            listings.push_back(words(block));
            block.clear();
        }
        block += line + " ";
    }
    ASSERT_EQ(listings.size(), 3u) << r.err;
    EXPECT_EQ(listings[0], listings[1]);
    // Only its own input and the child's input end have gone.
    EXPECT_EQ(listings[0].size(), listings[2].size() + 2);
    EXPECT_TRUE(std::includes(listings[0].begin(), listings[0].end(), listings[2].begin(),
                              listings[2].end()));
    EXPECT_EQ(listings[2].count("0"), 0u);
}

}  // namespace
