// The benchmark: brindock against cat in the same place, so that the ratio is
// the relay's own cost. Both arms move the same payload through the same
// topology of pipes and processes, with this driver as the controller in both:
// it produces the input, consumes (and for the relay parses) the output, times
// each arm from the first fork to the last process reaped, and takes the
// relay's peak resident memory from wait4. Rounds alternate which arm runs first.
// An earlier relay binary, when given, runs as another arm in the same rounds,
// so that a change is measured before and after under the same load; some
// cases also run a floor, piece_copier, beside the relay. Stream mode runs
// against cat and against the relay's default mode, and a conversation times
// one request at a time against a controller talking to cat directly. The
// end of a thousand idle relays at once is timed tied, in a control group and
// in a process group, against untied. Channel mode (a kind byte in every body)
// runs against stream mode, and a slow reader takes 20 MB through its flow
// control.
//
// Usage: brindock_bench [earlier relay binary, or -] [rounds] [mass-end, or
// terminal or terminal-script and a size in MiB: those rows alone]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "framing/length_header.hpp"

namespace {

using brindock::header_size;
using command = std::vector<const char*>;  // argv, null-terminated

constexpr std::uint64_t mib = std::uint64_t{1} << 20;

// What the relay keeps of held output in memory; the rest goes to its spill file.
constexpr long hold_memory_kib = BRINDOCK_HOLD_MEMORY / 1024;

[[noreturn]] void fail(const std::string& what)
{
    (void)std::fprintf(stderr, "brindock_bench: %s\n", what.c_str());
    std::exit(2);
}

void check(bool ok, const char* call)
{
    if (!ok) {
        fail(std::string(call) + ": " + std::strerror(errno));
    }
}

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpu_seconds_of_children()
{
    rusage usage{};
    check(getrusage(RUSAGE_CHILDREN, &usage) == 0, "getrusage");
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct bytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

// Memory that forked stages do not get. A forked process starts with the
// driver's resident pages counted as its own, and exec carries that count into
// ru_maxrss, so the driver keeps its buffers out of its children to stay below
// the peak of the programs it measures.
unsigned char* unshared_pages(std::size_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    check(memory != MAP_FAILED, "mmap");
    check(madvise(memory, size, MADV_DONTFORK) == 0, "madvise");
    return static_cast<unsigned char*>(memory);
}

// `count` packets of `payload` bytes each, or for cat the bare payload;
// `kinds`: in channel mode, input packets.
bytes payload_block(std::size_t payload, std::size_t count, bool framed, bool kinds = false)
{
    const std::size_t kind = kinds ? 1 : 0;
    const std::size_t step = (framed ? header_size + kind : 0) + payload;
    unsigned char* block = unshared_pages(step * count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* at = block + i * step;
        if (framed) {
            brindock::encode_length_header(at, static_cast<std::uint32_t>(payload + kind));
            at += header_size;
            if (kinds) {
                *at++ = 0;
            }
        }
        std::memset(at, 'a' + static_cast<int>(i % 26), payload);
    }
    return {block, step * count};
}

const unsigned char end_packet_bytes[header_size] = {};
const bytes end_packet{end_packet_bytes, header_size};
// Channel mode: the end of input, and a window of 64 KiB.
const unsigned char end_kind_bytes[header_size + 1] = {0, 0, 0, 1, 1};
const bytes end_kind_packet{end_kind_bytes, sizeof end_kind_bytes};
const unsigned char window_bytes[header_size + 5] = {0, 0, 0, 5, 3, 0, 1, 0, 0};

// What the driver writes: `repeats` copies of `block`, then `tail`.
struct source {
    bytes block;
    std::uint64_t repeats = 0;
    bytes tail;
};

// What the driver has read back; for the relay, packets are taken apart.
// In channel mode only the command's output and error count as payload.
struct sink {
    bool framed = false;
    bool kinds = false;
    std::uint64_t payload = 0, packets = 0;
    unsigned char header[header_size] = {};
    std::size_t header_filled = 0;
    std::uint32_t body_left = 0;
    bool kind_due = false;
    unsigned char kind = 0;
    bool exited = false;  // the exit packet has come
};

void consume(sink& out, const unsigned char* data, std::size_t count)
{
    if (!out.framed) {
        out.payload += count;
        return;
    }
    while (count > 0) {
        if (out.kind_due) {
            out.kind = *data++;
            --count;
            --out.body_left;
            out.kind_due = false;
            out.exited = out.exited || out.kind == 2;
            continue;
        }
        if (out.body_left > 0) {
            const std::size_t taken = std::min<std::size_t>(count, out.body_left);
            out.body_left -= static_cast<std::uint32_t>(taken);
            out.payload += out.kind <= 1 ? taken : 0;
            data += taken;
            count -= taken;
            continue;
        }
        out.header[out.header_filled++] = *data++;
        --count;
        if (out.header_filled == header_size) {
            out.header_filled = 0;
            out.body_left = brindock::decode_length_header(out.header);
            out.kind_due = out.kinds;
            ++out.packets;
            if (out.body_left == 0 || out.body_left > brindock::max_output_payload) {
                fail("relay sent a packet of " + std::to_string(out.body_left) + " bytes");
            }
        }
    }
}

// The driver ignores SIGPIPE for itself only: a stage starts with the default.
pid_t start_stage(const command& argv, int in_fd, int out_fd)
{
    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (signal(SIGPIPE, SIG_DFL) == SIG_ERR || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0) {
            _exit(126);
        }
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    return pid;
}

// Writes the source into `input` and reads `output` into the sink, both as
// they become ready, until the source is spent and the output has ended.
// Returns false when the first stage stopped reading before the payload's end;
// a relay whose command has ended may be gone before the end-of-input packet.
bool pump(int input, int output, const source& in, sink& out, int read_gap_us = 0,
          bool ready_byte = false)
{
    bool taken = true;
    constexpr std::size_t buffer_size = 65536;
    static unsigned char* const buffer = unshared_pages(buffer_size);
    std::uint64_t blocks_left = in.repeats;  // the tail follows the last block
    std::size_t offset = 0;
    while (input >= 0 || output >= 0) {
        const bytes& piece = blocks_left > 0 ? in.block : in.tail;
        if (input >= 0 && offset == piece.size) {
            offset = 0;
            if (blocks_left > 0) {
                --blocks_left;
            } else {
                check(close(input) == 0, "close");
                input = -1;
            }
            continue;
        }
        // A command that says when it is ready is given nothing before.
        pollfd watched[2] = {{ready_byte && out.payload == 0 ? -1 : input, POLLOUT, 0},
                             {output, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            check(errno == EINTR, "poll");
            continue;
        }
        if (watched[0].revents != 0) {
            const ssize_t written = write(input, piece.data + offset, piece.size - offset);
            const bool gone = written < 0 && errno == EPIPE;
            check(written > 0 || errno == EAGAIN || gone, "write to the first stage");
            if (gone) {
                taken = taken && blocks_left == 0;
                blocks_left = 0;
                offset = in.tail.size;
            } else {
                offset += static_cast<std::size_t>(std::max<ssize_t>(written, 0));
            }
        }
        if (watched[1].revents != 0) {
            const ssize_t got = read(output, buffer, buffer_size);
            check(got >= 0 || errno == EAGAIN, "read from the last stage");
            if (got > 0) {
                consume(out, buffer, static_cast<std::size_t>(got));
                if (read_gap_us > 0) {
                    usleep(static_cast<useconds_t>(read_gap_us));
                }
            } else if (got == 0) {
                check(close(output) == 0, "close");
                output = -1;
            }
        }
    }
    return taken;
}

struct arm {
    std::vector<command> stages;  // driver | stages[0] | ... | driver
    std::size_t measured = 0;     // the stage whose peak memory is taken
    source input;
    bool framed = false;
    bool kinds = false;
    int read_gap_us = 0;  // a slow controller: a pause after each read
    // The command writes one byte once it is ready for its input, which
    // waits for it; that byte is not counted in the output.
    bool ready_byte = false;
};

struct arm_result {
    double seconds = 0, cpu_seconds = 0;  // per run; CPU of the arm's processes
    long peak_rss_kib = 0;                // of the measured stage, over all runs
    std::uint64_t framed_output = 0;      // bytes read back, headers included
};

// One run. Every stage must exit with status 0 and the output must be
// `expected` payload bytes; the driver is a subreaper and reaps whatever the
// stages leave behind, so that the run ends with all its processes gone.
void run_once(const arm& a, std::uint64_t expected, arm_result& result)
{
    int ends[2];
    check(pipe2(ends, O_CLOEXEC) == 0, "pipe2");
    const int input = ends[1];
    int previous = ends[0];
    std::vector<pid_t> pids;
    for (const command& stage : a.stages) {
        check(pipe2(ends, O_CLOEXEC) == 0, "pipe2");
        pids.push_back(start_stage(stage, previous, ends[1]));
        check(close(previous) == 0 && close(ends[1]) == 0, "close");
        previous = ends[0];
    }
    for (const int fd : {input, previous}) {
        const int flags = fcntl(fd, F_GETFL);
        check(flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0, "fcntl");
    }
    sink output;
    output.framed = a.framed;
    output.kinds = a.kinds;
    const bool taken = pump(input, previous, a.input, output, a.read_gap_us, a.ready_byte);
    output.payload -= a.ready_byte ? std::min<std::uint64_t>(output.payload, 1) : 0;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        int status = 0;
        rusage usage{};
        check(wait4(pids[i], &status, 0, &usage) == pids[i], "wait4");
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail(std::string(a.stages[i][0]) + " ended with wait status " + std::to_string(status));
        }
        if (i == a.measured) {
            result.peak_rss_kib = std::max(result.peak_rss_kib, usage.ru_maxrss);
        }
    }
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    check(errno == ECHILD, "waitpid");
    if (!taken) {
        fail(std::string(a.stages[0][0]) + " stopped reading its input before the end");
    }
    if (output.payload != expected || output.header_filled != 0 || output.body_left != 0) {
        fail(std::string(a.stages[0][0]) + " gave back " + std::to_string(output.payload) +
             " payload bytes, not " + std::to_string(expected));
    }
    result.framed_output = output.payload + header_size * output.packets;
}

arm_result run_arm(const arm& a, std::uint64_t expected, int runs)
{
    arm_result result;
    const double start = now_seconds(), cpu_start = cpu_seconds_of_children();
    for (int run = 0; run < runs; ++run) {
        run_once(a, expected, result);
    }
    result.seconds = (now_seconds() - start) / runs;
    result.cpu_seconds = (cpu_seconds_of_children() - cpu_start) / runs;
    return result;
}

struct bench_case {
    arm relay, cat;
    std::uint64_t expected_output = 0;  // payload bytes both arms must read back
    int runs_per_round = 1;
    arm floor = {};  // no stages: none
    const char* floor_name = "  floor: 1024-byte copier";
};

// Each arm's results, round by round, so that every arm pairs up with cat's.
struct figures {
    std::vector<arm_result> relay, cat, earlier, floor;
};

// Each round starts with a different arm, in turn. With an `earlier` relay
// binary, the relay's arm runs with it too, and so does the case's floor.
figures measure(const bench_case& c, int rounds, const char* earlier)
{
    figures f;
    arm earlier_arm = c.relay;
    std::replace_if(
        earlier_arm.stages[0].begin(), earlier_arm.stages[0].end(),
        [](const char* word) { return word != nullptr && std::strcmp(word, BRINDOCK_BINARY) == 0; },
        earlier);
    std::vector<std::pair<const arm*, std::vector<arm_result>*>> arms = {{&c.relay, &f.relay},
                                                                         {&c.cat, &f.cat}};
    if (earlier != nullptr) {
        arms.emplace_back(&earlier_arm, &f.earlier);
    }
    if (!c.floor.stages.empty()) {
        arms.emplace_back(&c.floor, &f.floor);
    }
    for (std::size_t round = 0; round < static_cast<std::size_t>(rounds); ++round) {
        for (std::size_t k = 0; k < arms.size(); ++k) {
            const auto& [which, results] = arms[(round + k) % arms.size()];
            results->push_back(run_arm(*which, c.expected_output, c.runs_per_round));
        }
    }
    return f;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double median_of(const std::vector<arm_result>& results, double arm_result::*figure)
{
    std::vector<double> values;
    values.reserve(results.size());
    for (const arm_result& r : results) {
        values.push_back(r.*figure);
    }
    return median(values);
}

// The rounds' ratios of a figure, cat's over the relay's or, inverted, the other way round.
std::vector<double> paired(const figures& f, double arm_result::*figure, bool inverted = false,
                           const std::vector<arm_result>* relay = nullptr)
{
    const std::vector<arm_result>& measured = relay != nullptr ? *relay : f.relay;
    std::vector<double> ratios;
    for (std::size_t i = 0; i < measured.size(); ++i) {
        const double ratio = f.cat[i].*figure / measured[i].*figure;
        ratios.push_back(inverted ? 1 / ratio : ratio);
    }
    return ratios;
}

long peak_rss(const std::vector<arm_result>& results)
{
    long peak = 0;
    for (const arm_result& r : results) {
        peak = std::max(peak, r.peak_rss_kib);
    }
    return peak;
}

std::string median_and_range(const std::vector<double>& ratios)
{
    char text[48];
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    (void)std::snprintf(text, sizeof text, "%.3f (%.2f-%.2f)", median(ratios), *low, *high);
    return text;
}

void print_row(const char* what, const char* unit, double relay, double cat,
               const std::string& ratio, const std::string& cpu_ratio, const std::string& goal,
               const char* met)
{
    std::printf("%-34s %-6s %9.1f %9.1f  %-18s %-19s %-9s %s\n", what, unit, relay, cat,
                ratio.c_str(), cpu_ratio.c_str(), goal.c_str(), met);
}

const char* verdict(bool met)
{
    return met ? "yes" : "NO";
}

// The relay's row and below it the rows of the earlier relay and the floor, if run.
// `goal`: the least median ratio that meets it; 0 for none.
void print_throughput(const char* what, const figures& f, std::uint64_t payload, double goal,
                      const char* floor_name = "  floor: 1024-byte copier")
{
    const double moved = static_cast<double>(payload) / static_cast<double>(mib);
    char goal_text[16] = "-";
    if (goal > 0) {
        (void)std::snprintf(goal_text, sizeof goal_text, ">= %.3g", goal);
    }
    for (const std::vector<arm_result>* relay : {&f.relay, &f.earlier, &f.floor}) {
        if (relay->empty()) {
            continue;
        }
        const std::vector<double> ratios = paired(f, &arm_result::seconds, false, relay);
        const bool other = relay != &f.relay;
        print_row(relay == &f.earlier ? "  earlier relay"
                  : other             ? floor_name
                                      : what,
                  "MiB/s", moved / median_of(*relay, &arm_result::seconds),
                  moved / median_of(f.cat, &arm_result::seconds), median_and_range(ratios),
                  median_and_range(paired(f, &arm_result::cpu_seconds, false, relay)),
                  other ? "" : goal_text,
                  other || goal <= 0 ? "" : verdict(median(ratios) >= goal));
    }
}

void print_memory(const char* what, const figures& f, long goal_kib, bool of_floor = false)
{
    const auto relay = static_cast<double>(peak_rss(of_floor ? f.floor : f.relay));
    const auto cat = static_cast<double>(peak_rss(f.cat));
    char ratio[16];
    (void)std::snprintf(ratio, sizeof ratio, "%.2f", relay / cat);
    print_row(what, "KiB", relay, cat, ratio, "",
              goal_kib > 0 ? "<= " + std::to_string(goal_kib) : "-",
              goal_kib > 0 ? verdict(relay <= static_cast<double>(goal_kib)) : "");
}

// A conversation: `exchanges` requests of `size` bytes written one at a time
// to a process that echoes them, each answer read whole before the next
// request. Returns the seconds per exchange.
double converse_once(const command& argv, bool framed, std::size_t size, int exchanges,
                     bool kinds = false)
{
    int to[2], from[2];
    check(pipe2(to, O_CLOEXEC) == 0 && pipe2(from, O_CLOEXEC) == 0, "pipe2");
    const pid_t pid = start_stage(argv, to[0], from[1]);
    check(close(to[0]) == 0 && close(from[1]) == 0, "close");
    const bytes request = payload_block(size, 1, framed, kinds);
    static unsigned char* const buffer = unshared_pages(65536);
    const double start = now_seconds();
    for (int i = 0; i < exchanges; ++i) {
        check(write(to[1], request.data, request.size) == static_cast<ssize_t>(request.size),
              "write a request");
        sink answer;
        answer.framed = framed;
        answer.kinds = kinds;
        while (answer.payload < size) {
            const ssize_t got = read(from[0], buffer, 65536);
            check(got > 0, "read an answer");
            consume(answer, buffer, static_cast<std::size_t>(got));
        }
    }
    const double seconds = (now_seconds() - start) / exchanges;
    if (framed) {
        const bytes& end = kinds ? end_kind_packet : end_packet;
        check(write(to[1], end.data, end.size) == static_cast<ssize_t>(end.size), "write");
    }
    check(close(to[1]) == 0, "close");
    while (read(from[0], buffer, 65536) > 0) {
    }
    check(
        close(from[0]) == 0 && munmap(const_cast<unsigned char*>(request.data), request.size) == 0,
        "close");
    int status = 0;
    check(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a conversation's end");
    return seconds;
}

// The relay in stream mode against cat alone and against the floor of any
// relay, and in channel mode against stream mode, arms alternating; prints
// their rows.
void print_conversation(const char* relay, int rounds)
{
    constexpr int exchanges = 2000;
    const command arms[] = {{"/usr/bin/env", "BRINDOCK_STREAM=1", relay, "cat", nullptr},
                            {"cat", nullptr},
                            {HOP_FORWARDER_BINARY, "cat", nullptr},
                            {"/usr/bin/env", "BRINDOCK_CHANNELS=1", relay, "cat", nullptr}};
    constexpr std::size_t count = std::size(arms);
    std::vector<double> seconds[count], ratios[count];
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t which = (static_cast<std::size_t>(round) + k) % count;
            seconds[which].push_back(
                converse_once(arms[which], which != 1, 100, exchanges, which == 3));
        }
        for (const std::size_t which : {std::size_t{0}, std::size_t{2}}) {
            ratios[which].push_back(seconds[which].back() / seconds[1].back());
        }
        ratios[3].push_back(seconds[3].back() / seconds[0].back());
    }
    print_row("stream: 100 B request to cat, latency", "us", median(seconds[0]) * 1e6,
              median(seconds[1]) * 1e6, median_and_range(ratios[0]), "", "<= 2.00",
              verdict(median(ratios[0]) <= 2));
    print_row("  floor: a bare forwarder", "us", median(seconds[2]) * 1e6, median(seconds[1]) * 1e6,
              median_and_range(ratios[2]), "", "", "");
    print_row("channels: the same, against stream", "us", median(seconds[3]) * 1e6,
              median(seconds[0]) * 1e6, median_and_range(ratios[3]), "", "", "");
}

// Terminal mode against the same relay on pipes, both streaming: `size`
// bytes through cat, and 100-byte requests answered by cat; prints their rows.
// With `with_script`, the way without terminal mode runs beside them: a
// terminal made by script, set raw, in stream mode. Its input waits until the
// terminal is raw (a byte says so), as input before that would be taken as
// typed lines; and a raw terminal has no end of file, so head ends the
// command at the size. In most runs, even of a few MiB, part of the input
// never reaches head, which then never ends, so it runs only when asked.
void print_terminal(const char* relay, int rounds, std::uint64_t size, bool with_script)
{
    const command on_terminal = {"/usr/bin/env", "BRINDOCK_PTY=1", "BRINDOCK_STREAM=1", relay,
                                 "cat",          nullptr};
    const command on_pipes = {"/usr/bin/env", "BRINDOCK_STREAM=1", relay, "cat", nullptr};
    const std::string raw_script = "script -qE never -c 'stty raw -echo; printf R; exec head -c " +
                                   std::to_string(size) + "' /dev/null";
    const command through_script = {"/usr/bin/env", "BRINDOCK_STREAM=1", relay, raw_script.c_str(),
                                    nullptr};
    const bytes framed_64k = payload_block(65536, 1, true);
    bench_case trip{{{on_terminal}, 0, {framed_64k, size / 65536, end_packet}, true},
                    {{on_pipes}, 0, {framed_64k, size / 65536, end_packet}, true},
                    size};
    if (with_script) {
        trip.floor = {{through_script}, 0, {framed_64k, size / 65536, end_packet}, true};
        trip.floor.ready_byte = true;
    }
    const figures f = measure(trip, rounds, nullptr);
    const std::string what = "terminal: round trip via cat, " + std::to_string(size / mib) + " MiB";
    print_throughput(what.c_str(), f, size, 0, "  script, set raw, in stream mode");
    std::printf("  (baseline: the same relay on pipes, both in stream mode)\n");
    constexpr int exchanges = 2000;
    std::vector<double> seconds[2], ratios;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < 2; ++k) {
            const std::size_t which = (static_cast<std::size_t>(round) + k) % 2;
            seconds[which].push_back(
                converse_once(which == 0 ? on_terminal : on_pipes, true, 100, exchanges));
        }
        ratios.push_back(seconds[0].back() / seconds[1].back());
    }
    print_row("terminal: 100 B request to cat, latency", "us", median(seconds[0]) * 1e6,
              median(seconds[1]) * 1e6, median_and_range(ratios), "", "", "");
}

// Channel mode with flow control: `total` bytes of output through a window of
// 64 KiB that a reader refills only after a pause for every 64 KiB it takes;
// without `window`, stream mode and the same reader. Returns the relay's peak
// resident memory in KiB.
long slow_reader_peak(const char* relay, std::uint64_t total, bool window)
{
    const std::string zeros = "head -c " + std::to_string(total) + " /dev/zero";
    const command argv =
        window ? command{"/usr/bin/env", "BRINDOCK_CHANNELS=1", "BRINDOCK_WINDOW=65536",
                         relay,          zeros.c_str(),         nullptr}
               : command{"/usr/bin/env", "BRINDOCK_STREAM=1", relay, zeros.c_str(), nullptr};
    int to[2], from[2];
    check(pipe2(to, O_CLOEXEC) == 0 && pipe2(from, O_CLOEXEC) == 0, "pipe2");
    const pid_t pid = start_stage(argv, to[0], from[1]);
    check(close(to[0]) == 0 && close(from[1]) == 0, "close");
    if (!window) {
        check(write(to[1], end_packet.data, end_packet.size) == header_size, "write");
    }
    static unsigned char* const buffer = unshared_pages(65536);
    sink out;
    out.framed = true;
    out.kinds = window;
    std::uint64_t refilled = 65536;
    for (ssize_t got; (got = read(from[0], buffer, 4096)) > 0;) {
        consume(out, buffer, static_cast<std::size_t>(got));
        if (out.payload >= refilled) {
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
            refilled += 65536;
            if (window && !out.exited) {
                check(write(to[1], window_bytes, sizeof window_bytes) == sizeof window_bytes,
                      "write a window");
            }
        }
        if (out.exited && to[1] >= 0) {
            check(close(to[1]) == 0, "close");
            to[1] = -1;
        }
    }
    check(out.payload == total, "the whole output through a slow reader");
    if (to[1] >= 0) {
        check(close(to[1]) == 0, "close");
    }
    check(close(from[0]) == 0, "close");
    int status = 0;
    rusage usage{};
    check(wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a slow reader's relay");
    return usage.ru_maxrss;
}

void print_slow_reader(const char* relay, int rounds)
{
    long peaks[2] = {0, 0};
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool window = (round + k) % 2 == 0;
            peaks[window ? 0 : 1] =
                std::max(peaks[window ? 0 : 1], slow_reader_peak(relay, 20000000, window));
        }
    }
    char ratio[16];
    (void)std::snprintf(ratio, sizeof ratio, "%.2f",
                        static_cast<double>(peaks[0]) / static_cast<double>(peaks[1]));
    print_row("channels: 20 MB, 64 KiB window, peak", "KiB", static_cast<double>(peaks[0]),
              static_cast<double>(peaks[1]), ratio, "", "<= 4096", verdict(peaks[0] <= 4096));
}

// A command that writes a byte every 60 us for 2 s, through stream mode, the
// controller's input left open until the output has ended: the relay's
// processor time as a share of those 2 s, the controller reading as the
// output comes, or only once the command has ended (standard output full
// meanwhile).
double trickle_cpu_share(const char* relay, bool reading)
{
    int to[2], from[2];
    check(pipe2(to, O_CLOEXEC) == 0 && pipe2(from, O_CLOEXEC) == 0, "pipe2");
    const std::string trickle = std::string(TRICKLE_BINARY) + " 60 2";
    const pid_t pid = start_stage(
        {"/usr/bin/env", "BRINDOCK_STREAM=1", relay, trickle.c_str(), nullptr}, to[0], from[1]);
    check(close(to[0]) == 0 && close(from[1]) == 0, "close");
    if (!reading) {
        const timespec pause{2, 200000000};
        nanosleep(&pause, nullptr);
    }
    static unsigned char* const buffer = unshared_pages(65536);
    while (read(from[0], buffer, 65536) > 0) {
    }
    check(close(to[1]) == 0 && close(from[0]) == 0, "close");
    int status = 0;
    rusage usage{};
    check(wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status), "wait4");
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return (seconds(usage.ru_utime) + seconds(usage.ru_stime)) / 2;
}

// The trickle's rows, the earlier relay's beside the relay's when given.
void print_trickle(const char* relay, const char* earlier, int rounds)
{
    for (const bool reading : {true, false}) {
        std::vector<double> share, earlier_share;
        for (int round = 0; round < rounds; ++round) {
            share.push_back(trickle_cpu_share(relay, reading));
            if (earlier != nullptr) {
                earlier_share.push_back(trickle_cpu_share(earlier, reading));
            }
        }
        const double met = median(share) * 100;
        print_row(reading ? "stream: byte per 60 us, read" : "stream: byte per 60 us, unread",
                  "% cpu", met, 0, "", "", "<= 10", verdict(met <= 10));
        if (earlier != nullptr) {
            print_row("  earlier relay", "% cpu", median(earlier_share) * 100, 0, "", "", "", "");
        }
    }
}

// The processor time that the driver's descendants have used so far, as the
// scheduler counts it, in nanoseconds: exact, where the times of processes
// still running are only given in ticks.
double descendants_cpu_seconds()
{
    std::vector<pid_t> pending{getpid()};
    double total = 0;
    while (!pending.empty()) {
        const pid_t pid = pending.back();
        pending.pop_back();
        const std::string base = "/proc/" + std::to_string(pid);
        std::ifstream schedstat(base + "/schedstat");
        double nanoseconds = 0;
        if (pid != getpid() && schedstat >> nanoseconds) {
            total += nanoseconds * 1e-9;
        }
        if (DIR* tasks = opendir((base + "/task").c_str())) {
            while (const dirent* task = readdir(tasks)) {
                std::ifstream children(base + "/task/" + task->d_name + "/children");
                for (pid_t child = 0; children >> child;) {
                    pending.push_back(child);
                }
            }
            closedir(tasks);
        }
    }
    return total;
}

struct mass_end {
    double seconds = 0;
    double cpu_seconds = 0;
};

// The driver's environment without its BRINDOCK_ variables, and `variables`.
std::vector<char*> relay_environment(const std::vector<const char*>& variables)
{
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "BRINDOCK_", 9) != 0) {
            environment.push_back(*variable);
        }
    }
    for (const char* variable : variables) {
        environment.push_back(const_cast<char*>(variable));
    }
    environment.push_back(nullptr);
    return environment;
}

// `count` relays, each waiting for input on a pipe of its own with cat as its
// command, are given their end of input in one go and timed until every
// process of theirs has been reaped. CPU: everything they used, as reaped,
// less what they had used before the end. `variables` are added to the
// relays' environment.
mass_end end_many_at_once(const char* relay, int count, const std::vector<const char*>& variables)
{
    std::vector<char*> environment = relay_environment(variables);
    const char* argv[] = {relay, "echo >&2; exec cat", nullptr};
    int started[2];
    check(pipe2(started, O_CLOEXEC) == 0, "pipe2");
    const double cpu_before = cpu_seconds_of_children();
    std::vector<int> inputs;
    for (int i = 0; i < count; ++i) {
        int input[2];
        check(pipe2(input, O_CLOEXEC) == 0, "pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, started[1], 2);
        pid_t pid = 0;
        check(posix_spawn(&pid, relay, &actions, nullptr, const_cast<char* const*>(argv),
                          environment.data()) == 0,
              "posix_spawn");
        posix_spawn_file_actions_destroy(&actions);
        check(close(input[0]) == 0, "close");
        inputs.push_back(input[1]);
    }
    check(close(started[1]) == 0, "close");
    // Each command says on standard error that it runs.
    for (int lines = 0; lines < count;) {
        char said[256];
        const ssize_t got = read(started[0], said, sizeof said);
        check(got > 0, "read what the commands said");
        lines += static_cast<int>(std::count(said, said + got, '\n'));
    }
    const double used_before = descendants_cpu_seconds();
    mass_end result;
    const double start = now_seconds();
    for (const int input : inputs) {
        check(write(input, end_packet.data, end_packet.size) == header_size && close(input) == 0,
              "write the end of input");
    }
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    result.seconds = now_seconds() - start;
    result.cpu_seconds = cpu_seconds_of_children() - cpu_before - used_before;
    check(close(started[0]) == 0, "close");
    return result;
}

// Seconds per `brindock true` on average over `runs`, started and reaped in
// turn, with `variables` in its environment; its input is empty.
double start_and_end_seconds(const char* relay, const std::vector<const char*>& variables, int runs)
{
    std::vector<char*> environment = relay_environment(variables);
    const char* argv[] = {relay, "true", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const double start = now_seconds();
    for (int run = 0; run < runs; ++run) {
        pid_t pid = 0;
        check(posix_spawn(&pid, relay, &actions, nullptr, const_cast<char* const*>(argv),
                          environment.data()) == 0,
              "posix_spawn");
        while (wait(nullptr) > 0 || errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return (now_seconds() - start) / runs;
}

// A thousand relays ended at once, tied in a control group, tied without one
// and untied; and one relay's start and end, `true`, tied against untied. With
// an earlier relay, its arms run in the same rounds; every arm alternates with
// every other. Prints each relay's rows against its own untied arm.
void print_mass_end(const std::vector<const char*>& relays, int rounds)
{
    constexpr int count = 1000;
    constexpr int starts = 200;
    rlimit descriptors{};
    check(getrlimit(RLIMIT_NOFILE, &descriptors) == 0, "getrlimit");
    descriptors.rlim_cur =
        std::max<rlim_t>(descriptors.rlim_cur, std::min<rlim_t>(descriptors.rlim_max, 4 * count));
    check(setrlimit(RLIMIT_NOFILE, &descriptors) == 0, "setrlimit");
    const std::vector<const char*> ways[] = {
        {}, {"BRINDOCK_TIED=1"}, {"BRINDOCK_TIED=1", "BRINDOCK_NO_CONTROL_GROUP=1"}};
    const std::size_t arms = 3 * relays.size();
    std::vector<std::vector<mass_end>> ends(arms);
    std::vector<std::vector<double>> start_ends(arms);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < arms; ++k) {
            const std::size_t which = (static_cast<std::size_t>(round) + k) % arms;
            ends[which].push_back(end_many_at_once(relays[which / 3], count, ways[which % 3]));
            start_ends[which].push_back(
                start_and_end_seconds(relays[which / 3], ways[which % 3], starts));
        }
    }
    const auto figure = [&](std::size_t which, double mass_end::*of) {
        std::vector<double> values;
        for (const mass_end& end : ends[which]) {
            values.push_back(end.*of * 1e3);
        }
        return values;
    };
    const auto ratios = [&](std::size_t which, std::size_t untied, double mass_end::*of) {
        std::vector<double> values;
        for (std::size_t i = 0; i < ends[which].size(); ++i) {
            values.push_back(ends[which][i].*of / ends[untied][i].*of);
        }
        return values;
    };
    for (std::size_t r = 0; r < relays.size(); ++r) {
        if (r > 0) {
            std::printf("earlier relay (%s):\n", relays[r]);
        }
        const std::size_t untied = 3 * r;
        for (const std::size_t which : {untied + 1, untied + 2}) {
            const std::vector<double> slowdown = ratios(which, untied, &mass_end::seconds);
            print_row(which == untied + 1 ? "end of 1000 idle, tied in a group"
                                          : "  tied without a group",
                      "ms", median(figure(which, &mass_end::seconds)),
                      median(figure(untied, &mass_end::seconds)), median_and_range(slowdown),
                      median_and_range(ratios(which, untied, &mass_end::cpu_seconds)), "<= 2.50",
                      verdict(median(slowdown) <= 2.5));
            print_row("    its CPU time", "ms", median(figure(which, &mass_end::cpu_seconds)),
                      median(figure(untied, &mass_end::cpu_seconds)), "", "", "", "");
        }
        for (const std::size_t which : {untied + 1, untied + 2}) {
            std::vector<double> slowdown;
            for (std::size_t i = 0; i < start_ends[which].size(); ++i) {
                slowdown.push_back(start_ends[which][i] / start_ends[untied][i]);
            }
            print_row(which == untied + 1 ? "start and end, `true`, tied in a group"
                                          : "  tied without a group",
                      "us/run", median(start_ends[which]) * 1e6, median(start_ends[untied]) * 1e6,
                      median_and_range(slowdown), "", "", "");
        }
    }
}

std::string cpu_model()
{
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.starts_with("model name") && line.find(": ") != std::string::npos) {
            return line.substr(line.find(": ") + 2);
        }
    }
    return "unknown CPU";
}

}  // namespace

int main(int argc, char** argv)
{
    const char* relay = BRINDOCK_BINARY;
    const char* earlier = argc > 1 && std::strcmp(argv[1], "-") != 0 ? argv[1] : nullptr;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    check(signal(SIGPIPE, SIG_IGN) != SIG_ERR, "signal");
    check(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "prctl");
    if (argc > 3 && std::strcmp(argv[3], "mass-end") == 0) {
        std::printf("%-34s %-6s %9s %9s  %-18s %-19s %-9s %s\n", "case", "unit", "tied", "untied",
                    "ratio (min-max)", "cpu ratio (min-max)", "goal", "met");
        std::vector<const char*> relays{relay};
        if (earlier != nullptr) {
            relays.push_back(earlier);
        }
        print_mass_end(relays, rounds);
        return 0;
    }
    // Terminal mode's rows alone, at a size in MiB given after them; with
    // terminal-script, and script's beside them.
    const bool terminal_script = argc > 3 && std::strcmp(argv[3], "terminal-script") == 0;
    if (argc > 3 && (std::strcmp(argv[3], "terminal") == 0 || terminal_script)) {
        const std::uint64_t size = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 256;
        std::printf("%-34s %-6s %9s %9s  %-18s %-19s %-9s %s\n", "case", "unit", "brindock",
                    "baseline", "ratio (min-max)", "cpu ratio (min-max)", "goal", "met");
        print_terminal(relay, rounds, std::max<std::uint64_t>(size, 1) * mib, terminal_script);
        return 0;
    }

    const std::uint64_t big = 256 * mib, round_trip = 64 * mib, spilled = 1024 * mib;
    const std::string zeros = "head -c " + std::to_string(big) + " /dev/zero";
    const command cat = {"cat", nullptr}, to_null = {"/bin/sh", "-c", "cat >/dev/null", nullptr};
    const bytes framed_64k = payload_block(65536, 1, true),
                raw_64k = payload_block(65536, 1, false);
    // Small packets go 640 to a block: 32 MiB of 100-byte packets and 64 MiB
    // of 1000-byte ones, about.
    const std::uint64_t blocks_100 = 524, payload_100 = blocks_100 * 640 * 100;
    const std::uint64_t blocks_1000 = 105, payload_1000 = blocks_1000 * 640 * 1000;
    const bytes framed_1000 = payload_block(1000, 640, true),
                raw_1000 = payload_block(1000, 640, false);

    const bench_case input_64k{
        {{{relay, "cat >/dev/null", nullptr}}, 0, {framed_64k, big / 65536, end_packet}, true},
        {{cat, to_null}, 0, {raw_64k, big / 65536, {}}}};
    bench_case input_100{input_64k};
    input_100.relay.input = {payload_block(100, 640, true), blocks_100, end_packet};
    input_100.cat.input = {payload_block(100, 640, false), blocks_100, {}};
    bench_case input_1000{input_64k};
    input_1000.relay.input = {framed_1000, blocks_1000, end_packet};
    input_1000.cat.input = {raw_1000, blocks_1000, {}};
    // The controller writes each packet on its own, and so does cat's writer.
    bench_case input_1000_apart{input_64k};
    input_1000_apart.relay.input = {payload_block(1000, 1, true), blocks_1000 * 640, end_packet};
    input_1000_apart.cat.input = {payload_block(1000, 1, false), blocks_1000 * 640, {}};
    const bench_case output{{{{relay, zeros.c_str(), nullptr}}, 0, {{}, 0, end_packet}, true},
                            {{{"/bin/sh", "-c", zeros.c_str(), nullptr}, cat}, 1, {}},
                            big};
    const bench_case filter{
        {{{relay, "cat", nullptr}}, 0, {framed_64k, round_trip / 65536, end_packet}, true},
        {{cat, cat}, 0, {raw_64k, round_trip / 65536, {}}},
        round_trip};
    // Far past the hold's memory part: most of it goes through the spill file.
    bench_case spilling{filter};
    spilling.relay.input.repeats = spilled / 65536;
    spilling.cat.input.repeats = spilled / 65536;
    spilling.expected_output = spilled;
    bench_case filter_1000{filter};
    filter_1000.relay.input = {framed_1000, blocks_1000, end_packet};
    filter_1000.cat.input = {raw_1000, blocks_1000, {}};
    filter_1000.expected_output = payload_1000;
    // The same bytes unframed through a copier that writes the command the
    // same 1024-byte pieces and holds its output: the cost of the piece limit
    // and of holding, without framing.
    const auto floor_of = [](const bench_case& c, const char* command) {
        return arm{{{PIECE_COPIER_BINARY, command, nullptr}}, 0, c.cat.input, false};
    };
    input_100.floor = floor_of(input_100, "cat >/dev/null");
    input_1000.floor = floor_of(input_1000, "cat >/dev/null");
    filter_1000.floor = floor_of(filter_1000, "cat");
    // Stream mode, the controller reading as it writes: against cat | cat,
    // and against the default mode, which holds it all until the end of input.
    bench_case stream_trip{{{{"/usr/bin/env", "BRINDOCK_STREAM=1", relay, "cat", nullptr}},
                            0,
                            {framed_64k, big / 65536, end_packet},
                            true},
                           {{cat, cat}, 0, {raw_64k, big / 65536, {}}},
                           big};
    stream_trip.floor = {{{relay, "cat", nullptr}}, 0, stream_trip.relay.input, true};
    stream_trip.floor_name = "  default mode";
    // 100 MiB out while 32 MiB in, to a controller that reads steadily but
    // slower than the command writes: the command waits on its own pipe.
    const char* out_while_in = "exec 3<&0; cat <&3 >/dev/null & head -c 104857600 /dev/zero; wait";
    bench_case stream_slow{{{{"/usr/bin/env", "BRINDOCK_STREAM=1", relay, out_while_in, nullptr}},
                            0,
                            {framed_64k, 32 * mib / 65536, end_packet},
                            true,
                            false,
                            500},
                           {{{"/bin/sh", "-c", out_while_in, nullptr}},
                            0,
                            {raw_64k, 32 * mib / 65536, {}},
                            false,
                            false,
                            500},
                           100 * mib};
    // Channel mode the same way, against stream mode as its floor.
    bench_case channel_trip{stream_trip};
    channel_trip.relay = {{{"/usr/bin/env", "BRINDOCK_CHANNELS=1", relay, "cat", nullptr}},
                          0,
                          {payload_block(65536, 1, true, true), big / 65536, end_kind_packet},
                          true,
                          true};
    channel_trip.floor = stream_trip.relay;
    channel_trip.floor_name = "  stream mode";
    const bench_case startup{{{{relay, "true", nullptr}}, 0, {{}, 0, end_packet}, true},
                             {{{"/bin/sh", "-c", "true", nullptr}}, 0, {}},
                             0,
                             40};

    char date[32];
    const time_t now = time(nullptr);
    check(std::strftime(date, sizeof date, "%F %R %Z", std::gmtime(&now)) > 0, "strftime");
    std::printf(
        "brindock benchmark, %s, %s, %ld cores\nrelay %s, earlier relay %s, %d rounds, arms "
        "alternating; baseline: cat in the relay's place\n\n",
        date, cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN), relay,
        earlier != nullptr ? earlier : "none", rounds);
    check(std::fflush(stdout) == 0, "fflush");
    const double started = now_seconds();
    const auto run = [&](const bench_case& c) { return measure(c, rounds, earlier); };
    const figures f_64k = run(input_64k), f_100 = run(input_100), f_1000 = run(input_1000);
    const figures f_apart = run(input_1000_apart), f_out = run(output);
    const figures f_filter = run(filter), f_filter_1000 = run(filter_1000);
    // An earlier relay may hold everything in memory and wait for ever past its
    // limit, so this case runs without it.
    const figures f_spilled = measure(spilling, rounds, nullptr), f_start = run(startup);
    const figures f_stream = measure(stream_trip, rounds, nullptr);
    const figures f_stream_slow = measure(stream_slow, std::min(rounds, 5), earlier);
    const figures f_channels = measure(channel_trip, rounds, nullptr);

    std::printf("%-34s %-6s %9s %9s  %-18s %-19s %-9s %s\n", "case", "unit", "brindock", "baseline",
                "ratio (min-max)", "cpu ratio (min-max)", "goal", "met");
    print_throughput("input, 64 KiB packets, 256 MiB", f_64k, big, 0.95);
    print_throughput("input, 100 B packets, 32 MiB", f_100, payload_100, 0.5);
    print_throughput("input, 1000 B packets, 64 MiB", f_1000, payload_1000, 0.59);
    print_throughput("input, 1000 B, one write each", f_apart, payload_1000, 0);
    print_throughput("output, 256 MiB", f_out, big, 0.95);
    print_throughput("round trip via cat, 64 KiB packets", f_filter, round_trip, 0);
    print_throughput("round trip via cat, 1000 B packets", f_filter_1000, payload_1000, 0.385);
    print_throughput("round trip via cat, 1 GiB", f_spilled, spilled, 0);
    print_throughput("stream: round trip via cat, 256 MiB", f_stream, big, 0, "  default mode");
    // Paired the same way, with the default mode in cat's place.
    const std::vector<double> stream_over_default =
        paired({f_stream.relay, f_stream.floor, {}, {}}, &arm_result::seconds);
    const double moved = static_cast<double>(big) / static_cast<double>(mib);
    print_row("  stream against default mode", "MiB/s",
              moved / median_of(f_stream.relay, &arm_result::seconds),
              moved / median_of(f_stream.floor, &arm_result::seconds),
              median_and_range(stream_over_default), "", ">= 1",
              verdict(median(stream_over_default) >= 1));
    const std::vector<double> channels_over_stream =
        paired({f_channels.relay, f_channels.floor, {}, {}}, &arm_result::seconds);
    print_throughput("channels: round trip via cat", f_channels, big, 0, "  stream mode");
    print_row("  channels against stream mode", "MiB/s",
              moved / median_of(f_channels.relay, &arm_result::seconds),
              moved / median_of(f_channels.floor, &arm_result::seconds),
              median_and_range(channels_over_stream), "", "", "");
    print_conversation(relay, rounds);
    print_terminal(relay, rounds, big, false);
    print_trickle(relay, earlier, std::min(rounds, 5));
    print_mass_end({relay}, rounds);
    print_slow_reader(relay, rounds);
    const std::vector<double> slowdown = paired(f_start, &arm_result::seconds, true);
    print_row("start-up and end, `true`", "us/run",
              median_of(f_start.relay, &arm_result::seconds) * 1e6,
              median_of(f_start.cat, &arm_result::seconds) * 1e6, median_and_range(slowdown),
              median_and_range(paired(f_start, &arm_result::cpu_seconds, true)), "<= 2.00",
              verdict(median(slowdown) <= 2));
    print_memory("peak RSS, input (nothing held)", f_64k, 2048);
    print_memory("peak RSS, start-up (nothing held)", f_start, 2048);
    print_memory("peak RSS, output", f_out, 0);
    // Memory keeps at most its part of what is held and one staging block.
    const long held_kib = static_cast<long>(f_filter.relay.back().framed_output / 1024);
    const long in_memory_kib = std::min(held_kib, hold_memory_kib + 2048);
    print_memory("peak RSS, round trip (64 MiB held)", f_filter, in_memory_kib + 4096);
    print_memory("peak RSS, round trip (1 GiB held)", f_spilled, 73728);
    print_memory("peak RSS, stream round trip 256 MiB", f_stream, 6144);
    print_memory("  default mode (all held)", f_stream, 0, true);
    print_memory("peak RSS, stream 100 MiB out, slow", f_stream_slow, 8192);
    if (earlier != nullptr) {
        print_row("  earlier relay", "KiB", static_cast<double>(peak_rss(f_stream_slow.earlier)), 0,
                  "", "", "", "");
    }
    print_memory("peak RSS, channels round trip", f_channels, 6144);
    std::printf(
        "\nThroughput rows: ratios are brindock/baseline, so above 1 is brindock faster "
        "or cheaper.\nStart-up row: ratios are brindock/`sh -c true`, so below 1 is "
        "brindock faster or cheaper.\nEnd of 1000 idle relays: tied against untied, "
        "so below 1 is tied faster or cheaper.\nCPU: of every process of an arm, the driver aside. "
        "RSS: largest peak over all runs of the\nbrindock process and of the baseline's "
        "cat (sh for start-up). Whole run: %.0f s\n",
        now_seconds() - started);
    check(std::fflush(stdout) == 0 && std::ferror(stdout) == 0, "write the table");
    return 0;
}
