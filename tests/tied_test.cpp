// Tied mode (BRINDOCK_TIED=1): the relay reports its command's status, waits
// through the command's stops, keeps the variable to itself, and leaves
// nothing of the command running however it ends.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr long grace_ms = BRINDOCK_TIED_GRACE_MS;

// The relay, in a tied command: its watchdog is the command's parent.
const std::string relay = "$(cut -d' ' -f4 /proc/$PPID/stat)";

// The variable is set in the test process for as long as one of these lives,
// so that every relay started meanwhile inherits it.
struct tied_environment {
    tied_environment()
    {
        setenv("BRINDOCK_TIED", "1", 1);
    }
    ~tied_environment()
    {
        unsetenv("BRINDOCK_TIED");
    }
};

TEST(Tied, TheRelayEndsWithItsCommandAndReportsItsStatus)
{
    const tied_environment tied;
    // The command stops itself; a process of its own lets it go on once it
    // sees it stopped. Untied, the stop would end the relay.
    const std::string stop_then_go_on =
        "( while ! grep -q '^State:.*T' /proc/$$/status; do :; done; kill -CONT $$ ) & "
        "kill -STOP $$; cat";
    const struct {
        std::string command, output;
        int status;
    } cases[] = {
        {"cat; exit 42", "x", 42},
        {"cat; kill -9 $$", "x", 128 + SIGKILL},
        {"cat; echo ${BRINDOCK_TIED-unset}", "xunset\n", 0},
        {stop_then_go_on, "x", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        relay_request request;
        request.args = {c.command};
        request.writes = {packet("x"), end_of_input};
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(c.status)) << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), c.output);
    }
    // Input still queued when the command ends costs neither its answer nor
    // its status, even for a controller that gives up at a failed write.
    for (const std::size_t count : {3u, 16u, 64u}) {
        for (const char* stream : {"0", "1"}) {
            const scoped_variable mode("BRINDOCK_STREAM", stream);
            relay_request request;
            request.args = {"head -c 10; exit 4"};
            request.writes.assign(count, packet(std::string(65536, '7')));
            request.writes.push_back(end_of_input);
            request.give_up_at_failed_write = true;
            const relay_result r = run_relay(request);
            EXPECT_TRUE(r.exited_with(4)) << count << " packets, stream " << stream;
            EXPECT_EQ(r.out, packet("7777777777")) << count << " packets, stream " << stream;
        }
    }
}

// collect_orphans until none is left: a watchdog that outlives its relay,
// killed outright, hands on what it ended only at its own end.
std::vector<orphan> collect_all_orphans(milliseconds grace)
{
    std::vector<orphan> all;
    for (std::vector<orphan> more; !(more = collect_orphans(grace)).empty();) {
        all.insert(all.end(), more.begin(), more.end());
    }
    return all;
}

// One way a tied relay ends.
struct ending {
    const char* name;
    std::string command;
    bool closes_both_pipes;
    int exit_status;  // -1: the relay is killed by `signal_number`
    int signal_number;
};

// How a test named after an ending shows it.
void PrintTo(const ending& e, std::ostream* out)
{
    *out << e.name;
}

// Runs the relay on the command after its end-of-input packet and checks
// that it ended as `c` says; through `binary` with `args` where given.
relay_result run_to_its_end(const ending& c, const std::string& binary = "",
                            std::vector<std::string> args = {})
{
    relay_request request;
    request.binary = binary;
    request.args = args.empty() ? std::vector<std::string>{c.command} : std::move(args);
    request.writes = {end_of_input};
    if (c.closes_both_pipes) {
        request.close_output_after = 1;
    }
    request.deadline = milliseconds{15000};
    const relay_result r = run_relay(request);
    EXPECT_TRUE(c.exit_status >= 0 ? r.exited_with(c.exit_status) : r.killed_by(c.signal_number))
        << r.wait_status;
    return r;
}

TEST(Tied, NothingOfTheCommandOutlivesTheRelayHoweverItEnds)
{
    adopt_orphans();
    collect_orphans();  // whatever earlier tests in this process left
    const tied_environment tied;
    // Each command leaves a process behind in the background and otherwise
    // ignores its input.
    const ending cases[] = {
        {"the controller closes both pipes", "sleep 1000 & echo started; sleep 1000", true,
         128 + SIGTERM, 0},
        {"SIGTERM to the relay", "sleep 1000 & kill -TERM " + relay + "; wait", false, -1, SIGTERM},
        {"SIGKILL to the relay", "sleep 1000 & kill -KILL " + relay + "; wait", false, -1, SIGKILL},
        {"the shell ends", "sleep 1000 & echo started", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_to_its_end(c);
        // Every process the command left was taken in by this one: each must
        // end by itself, the watchdog's grace period after the relay at most.
        const std::vector<orphan> left = collect_orphans(milliseconds{6000});
        // What the end killed, the watchdog reaps; what escaped it would be
        // handed on to this process, still running.
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
    }

    // Without /proc, which root can take away, a zombie cannot be told from a
    // running member: what is left is killed after the grace period all the same.
    // The sanitizers' run-time cannot start without /proc.
    if (geteuid() == 0 && BRINDOCK_RELAY_IS_STATIC) {
        relay_request request;
        request.binary = "/usr/bin/unshare";
        request.args = {"-m", "sh", "-c", "umount -l /proc && exec \"$@\"", "sh"};
        for (const std::string& word : relay_command(relay_binary())) {
            request.args.push_back(word);
        }
        request.args.push_back("trap '' TERM; sleep 1000 & echo started");
        request.writes = {end_of_input};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        const std::vector<orphan> left = collect_orphans(milliseconds{6000});
        // What the end killed, the watchdog reaps; what escaped it would be
        // handed on to this process, still running.
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
    }

    // A stopped command is continued along with SIGTERM, so its trap runs at
    // once. One that ignores SIGTERM is killed when the grace period, a time, is
    // over, however many processes there are to look through: here 400 of this
    // test's children, asleep.
    const relay_result stopped = run_command(
        "trap 'echo trapped >&2; exit' TERM; "
        "( while ! grep -q '^State:.*T' /proc/$$/status; do :; done; kill -TERM " +
            relay +
            " ) & "
            "kill -STOP $$",
        {end_of_input});
    EXPECT_TRUE(stopped.killed_by(SIGTERM)) << stopped.wait_status;
    EXPECT_EQ(stopped.err, "trapped\n");
    std::vector<pid_t> sleepers(400);
    for (pid_t& pid : sleepers) {
        if ((pid = fork()) == 0) {
            pause();
            _exit(0);
        }
    }
    const auto start = steady_clock::now();
    const relay_result ignoring =
        run_command("trap '' TERM; sleep 1000 & kill -TERM " + relay + "; wait", {end_of_input});
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    for (const pid_t pid : sleepers) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(ignoring.killed_by(SIGTERM)) << ignoring.wait_status;
    EXPECT_GE(took, grace_ms);
    EXPECT_LT(took, grace_ms + 1000);
    collect_orphans();

    // A grace period set at run time, far shorter than the build's: the
    // command that ignores SIGTERM is killed well before the build's would
    // have ended, and its status says so.
    {
        const scoped_variable grace("BRINDOCK_GRACE_MS", "100");
        relay_request request;
        request.args = {"trap '' TERM; echo started; exec sleep 1000"};
        request.writes = {end_of_input};
        request.close_output_after = 1;
        request.deadline = milliseconds{std::max(grace_ms, 1000L)};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.finished);
        EXPECT_TRUE(r.exited_with(128 + SIGKILL)) << r.wait_status;
        collect_orphans();
    }
}

// The state letter of process `pid` (Z for a zombie), or '-' once it is gone.
char process_state(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() ? line[name_end + 2] : '-';
}

// A child that starts a session of its own and a double-forked grandchild
// in another, both in place before the command goes on.
const std::string escape =
    "{ setsid sh -c 'echo; exec sleep 1000' & "
    "(setsid sh -c 'sleep 1000 & echo; wait' &); } 2>/dev/null | { read a; read b; }; ";

// setpriv's arguments that run the relay under test on `command` as nobody.
std::vector<std::string> as_nobody(const std::string& command)
{
    std::vector<std::string> args = {"--reuid", "nobody", "--regid", "nogroup", "--clear-groups"};
    for (const std::string& word : relay_command(relay_binary())) {
        args.push_back(word);
    }
    args.push_back(command);
    return args;
}

// As an ordinary user, where no control group can be had: the watchdog, the
// subreaper of the command's whole tree, ends what left the process group.
class TiedWithoutControlGroup : public testing::TestWithParam<ending> {};

TEST_P(TiedWithoutControlGroup, NothingOfTheTreeOutlivesTheRelay)
{
    SKIP_UNDER_EMULATION(
        "the emulator refuses PR_SET_CHILD_SUBREAPER, so what leaves the process group is "
        "handed to the first process, not to the watchdog");
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the relay as nobody";
    }
    adopt_orphans();
    collect_all_orphans(milliseconds{0});
    const tied_environment tied;
    const scoped_variable no_group("BRINDOCK_NO_CONTROL_GROUP", "1");
    const ending& c = GetParam();
    run_to_its_end(c, "/usr/bin/setpriv", as_nobody(escape + c.command));
    const std::vector<orphan> left = collect_all_orphans(milliseconds{1000});
    // What the end killed, the watchdog reaps; what escaped it would be
    // handed on to this process, still running.
    EXPECT_TRUE(
        std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
}

INSTANTIATE_TEST_SUITE_P(
    Endings, TiedWithoutControlGroup,
    testing::Values(
        ending{"the shell ends", "echo started", false, 0, 0},
        ending{"the controller closes both pipes", "echo started; sleep 1000", true, 128 + SIGTERM,
               0},
        ending{"SIGTERM to the relay", "kill -TERM " + relay + "; wait", false, -1, SIGTERM},
        ending{"SIGKILL to the relay", "kill -KILL " + relay + "; wait", false, -1, SIGKILL}),
    [](const testing::TestParamInfo<ending>& info) {
        std::string name = info.param.name;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

TEST(Tied, ATimeLimitEndsTheCommandsGroup)
{
    adopt_orphans();
    collect_all_orphans(milliseconds{0});
    const scoped_variable limit("BRINDOCK_TIMEOUT_MS", "300");
    // Tied by the limit alone: what the command wrote comes out, and the
    // status is that of the SIGTERM, whatever left the process group.
    // (Not under emulation, which refuses the watchdog PR_SET_CHILD_SUBREAPER.)
    const std::string leaving = under_emulation() ? "" : escape;
    const relay_result tied =
        run_command(leaving + "echo ${BRINDOCK_TIMEOUT_MS-unset}; sleep 1000", {end_of_input});
    EXPECT_TRUE(tied.exited_with(128 + SIGTERM)) << tied.wait_status;
    EXPECT_EQ(join(split_packets(tied.out)), "unset\n");
    std::vector<orphan> left = collect_all_orphans(milliseconds{1000});
    EXPECT_TRUE(
        std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));

    // Channel mode: a message says so before the exit packet.
    {
        const scoped_variable channels("BRINDOCK_CHANNELS", "1");
        relay_request request;
        request.args = {"echo started; sleep 1000"};
        request.close_input = false;
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(128 + SIGTERM)) << r.wait_status;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        ASSERT_GE(packets.size(), 3u);
        EXPECT_EQ(joined_kind(packets, 0), "started\n");
        EXPECT_EQ(packets[packets.size() - 2].kind, 3);
        EXPECT_NE(packets[packets.size() - 2].payload.find("time limit of 300 ms reached"),
                  std::string::npos);
        EXPECT_EQ(packets.back().kind, 2);
        EXPECT_EQ(packets.back().payload, std::string("\1\17", 2));
    }

    // A value not understood is said, with its range and unit, and ignored.
    for (const char* value : {"5s", "0", "-1", "2147483648"}) {
        const scoped_variable odd("BRINDOCK_TIMEOUT_MS", value);
        const relay_result r = run_command("echo ${BRINDOCK_TIMEOUT_MS-unset}", {end_of_input});
        EXPECT_TRUE(r.exited_with(0)) << value;
        EXPECT_EQ(join(split_packets(r.out)), "unset\n");
        EXPECT_EQ(r.err, std::string("brindock: BRINDOCK_TIMEOUT_MS=") + value +
                             " not understood, ignored; a whole number of milliseconds, 1 to "
                             "2147483647\n");
    }

    // As an ordinary user below a group it cannot write, channel mode says at
    // its start that it fell back from a control group.
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
        const control_groups_allowed asked;
        const scoped_variable channels("BRINDOCK_CHANNELS", "1");
        relay_request request;
        request.binary = "/usr/bin/setpriv";
        request.args = as_nobody("echo started");
        request.writes = {channel_packet(1)};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets.front().kind, 3);
        EXPECT_NE(packets.front().payload.find("no control group"), std::string::npos);
    }
    collect_all_orphans(milliseconds{1000});
}

// Where the cgroup v2 hierarchy is mounted, and the test process's own group
// in it; empty strings where there is none.
struct control_groups {
    std::string mount;
    std::string own;
};

control_groups find_control_groups()
{
    control_groups found;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string root;
    for (std::string line; std::getline(mounts, line);) {
        if (line.find(" - cgroup2 ") != std::string::npos) {
            std::istringstream fields(line);
            std::string id, parent, device;
            fields >> id >> parent >> device >> root >> found.mount;
            break;
        }
    }
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        if (line.rfind("0::", 0) == 0 && !found.mount.empty() && line.rfind("0::" + root, 0) == 0) {
            const std::string own = line.substr(3 + (root == "/" ? 0 : root.size()));
            found.own = found.mount + (own == "/" ? "" : own);
        }
    }
    return found;
}

// True when a group can be made below this process's own, as the relay would.
bool can_make_groups(const control_groups& groups)
{
    const std::string probe = groups.own + "/brindock-probe-" + std::to_string(getpid());
    return !groups.own.empty() && mkdir(probe.c_str(), 0755) == 0 && rmdir(probe.c_str()) == 0;
}

// The command's group, "/brindock-<relay>-...", as the command's
// /proc/self/cgroup showed it on the relay's standard error; empty if absent.
std::string group_shown(const std::string& err, pid_t relay)
{
    const std::size_t at = err.find("/brindock-" + std::to_string(relay) + "-");
    return at == std::string::npos ? "" : err.substr(at, err.find('\n', at) - at);
}

// True when a group of relay `relay` is left in `dir`.
bool group_left(const std::string& dir, pid_t relay)
{
    const std::string prefix = "brindock-" + std::to_string(relay) + "-";
    bool found = false;
    if (DIR* groups = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(groups)) {
            found = found || std::string(entry->d_name).rfind(prefix, 0) == 0;
        }
        closedir(groups);
    }
    return found;
}

// True once `path` is gone, looking until `deadline` passes.
bool gone_by(const std::string& path, steady_clock::time_point deadline)
{
    while (access(path.c_str(), F_OK) == 0 && steady_clock::now() < deadline) {
    }
    return access(path.c_str(), F_OK) != 0;
}

TEST(Tied, NothingEscapesTheCommandsControlGroupHoweverTheRelayEnds)
{
    SKIP_UNDER_EMULATION(
        "the emulator offers no clone3, so the command never starts inside a "
        "control group of its own");
    const control_groups groups = find_control_groups();
    if (!can_make_groups(groups)) {
        GTEST_SKIP() << "this machine cannot make cgroup v2 groups here (not root, no cgroup v2, "
                        "or no delegated subtree)";
    }
    adopt_orphans();
    collect_orphans();
    const tied_environment tied;
    const control_groups_allowed asked;
    const std::string shown = "cat /proc/self/cgroup >&2; " + escape;
    const ending cases[] = {
        {"the shell ends", shown + "echo started", false, 0, 0},
        {"the controller closes both pipes", shown + "echo started; sleep 1000", true,
         128 + SIGTERM, 0},
        {"SIGTERM to the relay", shown + "kill -TERM " + relay + "; wait", false, -1, SIGTERM},
        {"SIGKILL to the relay", shown + "kill -KILL " + relay + "; wait", false, -1, SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const relay_result r = run_to_its_end(c);
        const auto ended = steady_clock::now();
        const std::string group = group_shown(r.err, r.pid);
        EXPECT_FALSE(group.empty()) << r.err;
        const std::vector<orphan> left = collect_all_orphans(milliseconds{1000});
        // What the end killed, the watchdog reaps; what escaped it would be
        // handed on to this process, still running.
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
        EXPECT_TRUE(gone_by(groups.own + group, ended + milliseconds{1000}));
    }

    // A nested tied relay that ignores SIGTERM makes its group inside the
    // command's and is killed with it, leaving its directory there: both go.
    {
        const std::string nested =
            "cat /proc/self/cgroup >&2; d=" + groups.mount +
            "$(sed -n 's/^0:://p' /proc/self/cgroup); "
            "(trap '' TERM; exec env BRINDOCK_TIED=1 " +
            relay_binary() +
            " 'sleep 1000' </dev/null >/dev/null) & "
            "until ls -d \"$d\"/brindock-* >/dev/null 2>&1; do :; done; kill -KILL " +
            relay + "; wait";
        relay_request request;
        request.args = {nested};
        request.writes = {end_of_input};
        const relay_result r = run_relay(request);
        const auto ended = steady_clock::now();
        EXPECT_TRUE(r.killed_by(SIGKILL)) << r.wait_status;
        EXPECT_FALSE(group_shown(r.err, r.pid).empty()) << r.err;
        EXPECT_TRUE(gone_by(groups.own + group_shown(r.err, r.pid),
                            ended + milliseconds{2 * grace_ms + 1000}));
        const std::vector<orphan> left = collect_orphans(milliseconds{1000});
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
    }

    // Channel mode: a signal packet reaches a member that started a session
    // of its own, as the group's end does.
    {
        const scoped_variable channels("BRINDOCK_CHANNELS", "1");
        relay_request request;
        request.args = {
            "trap : USR1; setsid sh -c \"trap 'echo got USR1; exit 0' USR1; echo ready;"
            " while :; do sleep 1 & wait; done\" & wait; wait"};
        request.writes = {packet(std::string{'\2', static_cast<char>(SIGUSR1)}), packet("\1")};
        request.output_before_write = {7};  // "ready" and its line feed, after the kind byte
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_NE(r.out.find("got USR1\n"), std::string::npos);
        collect_orphans(milliseconds{1000});
    }

    // A signal packet after the command's own end still reaches what is left
    // of its group. One byte of credit keeps the relay on after that end, and
    // the controller reads the first byte only once the command has ended.
    {
        const std::string file = "/tmp/brindock-signal-" + std::to_string(getpid());
        const scoped_variable channels("BRINDOCK_CHANNELS", "1");
        const scoped_variable window("BRINDOCK_WINDOW", "1");
        relay_request request;
        // The member outlasts the SIGTERM of the relay's end, which may come
        // at once, for the grace period.
        request.args = {"setsid sh -c \"trap '' TERM; trap 'echo got USR1 >" + file +
                        "; exit 0' USR1; echo >" + file +
                        ".ready; while :; do sleep 1 & wait; done\" & "
                        "until [ -s " +
                        file + ".ready ]; do :; done; echo $$ >" + file + ".pid; printf xy"};
        request.writes = {channel_packet(2, std::string(1, static_cast<char>(SIGUSR1))),
                          channel_packet(3, std::string("\0\0\0\x10", 4))};
        request.output_before_write = {1, 1};
        request.channel_packets = true;
        request.hold_output_until = [&](int, const std::string&) {
            std::ifstream pid_file(file + ".pid");
            pid_t command = 0;
            return pid_file >> command && process_state(command) == 'Z';
        };
        request.deadline = milliseconds{10000};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_EQ(joined_kind(split_channel(r.out), 0), "xy");
        std::ifstream got(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), "got USR1\n");
        for (const char* suffix : {"", ".ready", ".pid"}) {
            unlink((file + suffix).c_str());
        }
        collect_orphans(milliseconds{1000});
    }

    // Where the command cannot be started inside the group, or its members
    // could not be signalled, as in sandboxes that refuse the calls: the
    // process group, and no directory left behind.
    for (const char* refused : {"clone3", "pidfd_open"}) {
        SCOPED_TRACE(refused);
        relay_request request;
        request.binary = REFUSE_CALL_BINARY;
        request.args = {refused, std::to_string(ENOSYS), relay_binary(),
                        "cat /proc/self/cgroup >&2; echo started"};
        request.writes = {end_of_input};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
        EXPECT_EQ(join(split_packets(r.out)), "started\n");
        EXPECT_EQ(r.err.find("/brindock-"), std::string::npos) << r.err;
        EXPECT_FALSE(group_left(groups.own, r.pid));
    }

    // Where the hierarchy is read-only, as in a mount namespace that made it
    // so, the process group is ended as before, ignoring SIGTERM or not.
    if (geteuid() != 0) {
        return;
    }
    const struct {
        std::string command;
        bool kills_the_relay;
    } read_only_cases[] = {
        {"cat /proc/self/cgroup >&2; trap '' TERM; sleep 1000 & echo started", false},
        {"cat /proc/self/cgroup >&2; sleep 1000 & kill -KILL " + relay + "; wait", true},
    };
    for (const auto& c : read_only_cases) {
        SCOPED_TRACE(c.command);
        relay_request request;
        request.binary = "/usr/bin/unshare";
        request.args = {"-m",           "sh",
                        "-c",           "mount -o remount,bind,ro \"$2\" && exec \"$0\" \"$1\"",
                        relay_binary(), c.command,
                        groups.mount};
        request.writes = {end_of_input};
        const relay_result r = run_relay(request);
        EXPECT_TRUE(c.kills_the_relay ? r.killed_by(SIGKILL) : r.exited_with(0)) << r.wait_status;
        EXPECT_EQ(r.err.find("/brindock-"), std::string::npos) << r.err;
        const std::vector<orphan> left = collect_orphans(milliseconds{2 * grace_ms + 1000});
        // What the end killed, the watchdog reaps; what escaped it would be
        // handed on to this process, still running.
        EXPECT_TRUE(
            std::none_of(left.begin(), left.end(), [](const orphan& o) { return o.was_running; }));
    }
}

// A tied relay started apart from the harness, as a second controller would,
// with its standard input and error on pipes of this process.
struct other_relay {
    pid_t pid = -1;
    int input = -1;
    int error = -1;
};

other_relay start_other_relay(const std::vector<std::string>& words)
{
    int input[2];
    int error[2];
    other_relay started;
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(error, O_CLOEXEC) != 0) {
        return started;
    }
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    started.pid = fork();
    if (started.pid == 0) {
        dup2(input[0], 0);
        dup2(error[1], 1);
        dup2(error[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[0]);
    close(error[1]);
    started.input = input[1];
    started.error = error[0];
    return started;
}

// Reads `from` until a line that holds `wanted` has come, or its end.
std::string read_until(int from, const std::string& wanted)
{
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while (text.find(wanted) == std::string::npos ||
           text.find('\n', text.find(wanted)) == std::string::npos) {
        if ((got = read(from, chunk, sizeof chunk)) <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

TEST(Tied, AnotherRelaysGroupIsNeverTouched)
{
    // Two relays with the same number, each the first process of a pid
    // namespace of its own, below the same group: A's command ends at once
    // while A still takes input; B starts meanwhile, and its command must
    // outlive A's end untouched.
    SKIP_UNDER_EMULATION(
        "the emulator offers no clone3, so the command never starts inside a "
        "control group of its own");
    const control_groups groups = find_control_groups();
    if (geteuid() != 0 || !can_make_groups(groups) || system("unshare -pf true") != 0) {
        GTEST_SKIP() << "needs root, unshare -pf and a cgroup v2 group to make groups in";
    }
    const tied_environment tied;
    const control_groups_allowed asked;
    const std::string show_group = "cat /proc/self/cgroup >&2; ";
    other_relay b;
    std::string b_group;
    relay_request request;
    request.binary = "/usr/bin/unshare";
    request.args = {"-pf", relay_binary(), show_group + "exit 0"};
    request.close_input = false;
    request.hold_output_until = [&](int, const std::string& err) {
        if (err.find("/brindock-1-") == std::string::npos || b.pid > 0) {
            return b.pid > 0;
        }
        b = start_other_relay({"/usr/bin/unshare", "-pf", relay_binary(), show_group + "cat"});
        b_group = group_shown(read_until(b.error, "/brindock-1-"), 1);
        return true;
    };
    request.deadline = milliseconds{15000};
    const relay_result a = run_relay(request);
    EXPECT_TRUE(a.exited_with(0)) << a.wait_status;
    ASSERT_GT(b.pid, 0);
    EXPECT_FALSE(b_group.empty());
    EXPECT_NE(b_group, group_shown(a.err, 1));
    std::ifstream members(groups.own + b_group + "/cgroup.procs");
    pid_t member = 0;
    EXPECT_TRUE(members >> member) << "B's command was ended with A's group";
    close(b.input);
    read_until(b.error, "never");
    close(b.error);
    int status = 0;
    waitpid(b.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Gives the next process number, `number`, as root can, to a process that
// leads a session and group of its own, as an unrelated daemon would. Returns
// it, or -1 where numbers cannot be given.
pid_t start_bystander_at(pid_t number)
{
    std::ofstream last_pid("/proc/sys/kernel/ns_last_pid");
    last_pid << number - 1 << std::flush;
    if (!last_pid) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        pause();
        _exit(0);
    }
    const auto deadline = steady_clock::now() + milliseconds{5000};
    while (getsid(pid) != pid && steady_clock::now() < deadline) {
    }
    return pid;
}

TEST(Tied, TheCommandsNumberIsNotFreeUntilTheRelayHasEnded)
{
    const tied_environment tied;
    // The command ends at once with more output than a pipe holds. The relay is
    // held in its output phase by a controller that reads only once it has
    // looked at the command and, as root, asked for its number for a bystander.
    const bool numbers_can_be_given =
        geteuid() == 0 && access("/proc/sys/kernel/ns_last_pid", W_OK) == 0;
    relay_request request;
    request.args = {"echo $$ >&2; head -c 1000000 /dev/zero"};
    request.close_input = false;
    pid_t command = -1;
    pid_t bystander = -1;
    char state_while_held = '?';
    request.hold_output_until = [&](int unread, const std::string& err) {
        if (unread == 0 || err.find('\n') == std::string::npos) {
            return false;  // still in the input phase
        }
        command = std::stoi(err);
        state_while_held = process_state(command);
        bystander = numbers_can_be_given ? start_bystander_at(command) : -1;
        return true;
    };
    const relay_result r = run_relay(request);
    EXPECT_TRUE(r.exited_with(0)) << r.wait_status;
    EXPECT_EQ(join(split_packets(r.out)), std::string(1000000, '\0'));
    EXPECT_EQ(state_while_held, 'Z');
    EXPECT_EQ(process_state(command), '-');  // reaped by the relay at its end
    if (bystander < 0) {
        GTEST_SKIP() << "only root can give a process number to a bystander";
    }
    EXPECT_NE(bystander, command);
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander was killed";
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
}

}  // namespace
