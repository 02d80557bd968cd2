// Random packet streams through brindock, from a pipe, a stream socket or a
// file, checked against a small model of the framing rules kept here, apart
// from framing/. BRINDOCK_MODEL_STREAMS sets how many streams run (default
// 300), BRINDOCK_MODEL_SEED the first seed. Then random conversations in
// channel mode with flow control, BRINDOCK_MODEL_CHANNEL_STREAMS of them
// (default 40): random windows, grants, timing and standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/relay_process.hpp"

namespace {

using namespace brindock_test;

// splitmix64: the same streams from a seed whatever the standard library.
struct generator {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n)
    {
        return static_cast<std::size_t>(next() % n);
    }
    bool percent(std::size_t p)
    {
        return below(100) < p;
    }
};

std::size_t env_or(const char* name, std::size_t fallback)
{
    const char* value = std::getenv(name);
    const std::size_t number = value != nullptr ? std::strtoull(value, nullptr, 10) : fallback;
    unsetenv(name);
    return number;
}

// How many streams of each kind, and the first seed. All are read, and taken
// out, before any relay starts: a relay says any BRINDOCK_ variable that it
// does not read itself.
struct model_settings {
    std::size_t streams, channel_streams, first_seed;
};

const model_settings& settings()
{
    static const model_settings read{env_or("BRINDOCK_MODEL_STREAMS", 300),
                                     env_or("BRINDOCK_MODEL_CHANNEL_STREAMS", 40),
                                     env_or("BRINDOCK_MODEL_SEED", 1)};
    return read;
}

// Mostly tiny bodies, some near the 64 KiB read size, a few of hundreds of KiB;
// a 0 ends the input early and turns the rest into bytes after it.
std::size_t body_size(generator& g)
{
    const std::size_t kind = g.below(10);
    if (kind < 4) {
        return g.below(17);
    }
    if (kind < 7) {
        return 1 + g.below(2048);
    }
    return kind < 9 ? 60000 + g.below(12000) : 1 + g.below(300 << 10);
}

std::uint32_t any(generator& g)
{
    return static_cast<std::uint32_t>(g.next());
}

std::string make_stream(generator& g)
{
    std::string stream;
    for (std::size_t n = g.below(9); n > 0; --n) {
        stream += packet(pattern_bytes(body_size(g), any(g)));
    }
    const std::size_t ending = g.below(10);
    if (ending < 5) {
        stream += end_of_input;
        if (g.percent(40)) {  // bytes after it: more packets, or noise
            stream += g.percent(50) ? packet("never") + end_of_input
                                    : pattern_bytes(1 + g.below(100), any(g));
        }
    } else if (ending < 7) {  // cut inside a header
        stream += pattern_bytes(1 + g.below(3), any(g));
    } else if (ending < 9) {  // cut inside a body
        const std::size_t length = 1 + body_size(g);
        stream += packet(pattern_bytes(length, any(g))).substr(0, 4 + g.below(length));
    }  // else it ends between packets
    return stream;
}

// The model: bodies in order until a zero length or the end of the bytes; a
// cut header ends the input, a cut body still counts for what arrived.
struct prediction {
    std::string payload;
    std::size_t consumed = 0;          // bytes the relay may read, the end-of-input packet included
    std::vector<std::size_t> headers;  // where each header starts
};

prediction predict(const std::string& stream)
{
    prediction p;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        p.headers.push_back(at);
        const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + at);
        const std::size_t length =
            (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
        at += 4;
        if (length == 0) {
            p.consumed = at;
            return p;
        }
        p.payload += stream.substr(at, length);
        at = std::min(stream.size(), at + length);
    }
    p.consumed = stream.size();
    return p;
}

// The controller's writes: the stream cut at random places, and often inside
// a header, the end-of-input one included.
std::vector<std::string> cut_stream(generator& g, const std::string& stream,
                                    const prediction& expected)
{
    std::vector<std::size_t> cuts{0, stream.size()};
    for (std::size_t n = g.below(8); n > 0 && !stream.empty(); --n) {
        cuts.push_back(g.below(stream.size()));
    }
    for (const std::size_t header : expected.headers) {
        if (g.percent(30)) {
            cuts.push_back(std::min(stream.size(), header + 1 + g.below(3)));
        }
    }
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string> writes;
    for (std::size_t i = 1; i < cuts.size(); ++i) {
        if (cuts[i] > cuts[i - 1]) {
            writes.push_back(stream.substr(cuts[i - 1], cuts[i] - cuts[i - 1]));
        }
    }
    return writes;
}

TEST(Model, RandomStreamsReachTheCommandAsTheModelSays)
{
    const std::size_t streams = settings().streams;
    const std::size_t first_seed = settings().first_seed;
    for (std::size_t seed = first_seed; seed < first_seed + streams && !HasFailure(); ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " (BRINDOCK_MODEL_SEED=" << seed
                                        << " BRINDOCK_MODEL_STREAMS=1 repeats it)");
        generator g{seed};
        const std::string stream = make_stream(g);
        const prediction expected = predict(stream);
        relay_request request;
        // The command passes its input on untouched through the shared
        // standard error, then the relay's count of bytes written and of write
        // calls, all of them to the command's input by then. A write that
        // found the pipe full counts as a call too, so calls can only be more
        // than the writes that carried bytes: fewer than one per 1024 bytes
        // means that some write carried more.
        request.args = {"cat >&2; sed -n 's/^wchar: //p;s/^syscw: //p' /proc/$PPID/io >&2"};
        // A quarter of the streams come from a file, whose offset afterwards
        // shows exactly how far the relay read. So does the empty one: the
        // harness closes an input with no writes only after its first wake-up.
        const bool from_file = g.percent(25) || stream.empty();
        int file = -1;
        if (from_file) {
            file = give_file_input(request, stream);
        } else {
            request.writes = cut_stream(g, stream, expected);
            request.drain_between_writes = g.percent(30);
            request.input = g.percent(50) ? input_channel::stream_socket : input_channel::pipe;
            request.read_back_input = true;
        }
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0))
            << "wait status " << r.wait_status << ", finished " << r.finished;
        EXPECT_EQ(r.out, "");
        const std::string got = r.err.substr(0, expected.payload.size());
        EXPECT_TRUE(got == expected.payload)
            << "stream of " << stream.size() << " bytes: expected " << expected.payload.size()
            << " payload bytes, got " << got.size() << ", first difference at "
            << std::mismatch(got.begin(), got.end(), expected.payload.begin(),
                             expected.payload.end())
                       .first -
                   got.begin();
        std::size_t written = 0, calls = 0;
        std::istringstream(r.err.substr(got.size())) >> written >> calls;
        EXPECT_EQ(written, expected.payload.size());
        EXPECT_GE(calls, (written + 1023) / 1024)
            << "a write to the command carried over 1024 bytes";
        if (from_file) {
            EXPECT_EQ(static_cast<std::size_t>(lseek(file, 0, SEEK_CUR)), expected.consumed);
            close(file);
        } else {
            EXPECT_TRUE(r.unread_input == stream.substr(expected.consumed))
                << (request.input == input_channel::pipe ? "pipe" : "socket") << ": "
                << r.unread_input.size() << " bytes left unread, expected "
                << stream.size() - expected.consumed;
        }
    }
}

std::string window_packet(std::uint64_t credit)
{
    std::string payload(4, '\0');
    for (int i = 0; i < 4; ++i) {
        payload[static_cast<std::size_t>(i)] = static_cast<char>(credit >> (24 - 8 * i));
    }
    return channel_packet(3, payload);
}

// The controller's credit: what it grants, and whether the relay ever sent
// more output than that.
struct credit_book {
    std::uint64_t granted = 0;
    std::uint64_t received = 0;
    std::uint64_t since_grant = 0;
    bool overdrawn = false;
};

// Grants only for what it has read: each packet's payload (`unit` 0), or
// `unit` bytes for each `unit` read.
std::function<std::string(std::string_view)> granting(std::shared_ptr<credit_book> book,
                                                      std::uint64_t unit)
{
    return [book, unit](std::string_view body) {
        if (body.empty() || body[0] > 1) {
            return std::string();
        }
        const std::uint64_t payload = body.size() - 1;
        book->received += payload;
        book->overdrawn = book->overdrawn || book->received > book->granted;
        book->since_grant += payload;
        const std::uint64_t step = unit > 0 ? unit : book->since_grant;
        std::string grants;
        for (; step > 0 && book->since_grant >= step; book->since_grant -= step) {
            book->granted += step;
            grants += window_packet(step);
        }
        return grants;
    };
}

TEST(Model, ChannelConversationsWithFlowControlBringEveryByteBackAndTheExitLast)
{
    const std::size_t streams = settings().channel_streams;
    const std::size_t first_seed = settings().first_seed;
    const scoped_variable channels("BRINDOCK_CHANNELS", "1");
    for (std::size_t seed = first_seed; seed < first_seed + streams && !HasFailure(); ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " (BRINDOCK_MODEL_SEED=" << seed
                                        << " BRINDOCK_MODEL_CHANNEL_STREAMS=1 repeats it)");
        generator g{seed};
        // Tiny windows with little input, so that a stream stays short.
        const std::size_t windows[] = {1 + g.below(64), 1 + g.below(20000), 60000 + g.below(10000),
                                       std::size_t{1} << 20};
        const std::size_t window = windows[g.below(4)];
        const std::size_t most_input = window < 4096 ? 16 << 10 : 300 << 10;
        std::string bytes;
        relay_request request;
        for (std::size_t n = g.below(12); n > 0 && bytes.size() < most_input; --n) {
            const std::string body = pattern_bytes(std::min(body_size(g), most_input), any(g));
            request.writes.push_back(channel_packet(0, body));
            bytes += body;
        }
        request.writes.push_back(g.percent(50) ? channel_packet(1) : end_of_input);
        const bool both = g.percent(50);
        request.args = {both ? "tee /dev/stderr" : "cat"};
        auto book = std::make_shared<credit_book>();
        book->granted = window;
        const std::uint64_t unit = g.percent(50) ? 0 : 1 + g.below(window);
        request.answer_packet = granting(book, unit);
        request.answers_between_writes = g.percent(50);
        request.read_after_writing = g.percent(30);
        request.output_terminal = g.percent(25);
        if (g.percent(20)) {
            request.pause_before_each_write = std::chrono::milliseconds{1 + g.below(3)};
        }
        request.close_input = false;
        const std::string first = std::to_string(window);
        const scoped_variable credit("BRINDOCK_WINDOW", first.c_str());
        const relay_result r = run_relay(request);
        EXPECT_TRUE(r.exited_with(0))
            << "wait status " << r.wait_status << ", finished " << r.finished << ", window "
            << window << ", unit " << unit << ", " << bytes.size() << " bytes";
        const std::vector<kind_and_payload> packets = split_channel(r.out);
        EXPECT_TRUE(joined_kind(packets, 0) == bytes)
            << joined_kind(packets, 0).size() << " of " << bytes.size();
        EXPECT_TRUE(joined_kind(packets, 1) == (both ? bytes : ""))
            << joined_kind(packets, 1).size() << " of " << bytes.size();
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets.back().kind, 2);
        EXPECT_EQ(packets.back().payload, std::string("\0\0", 2));
        EXPECT_EQ(joined_kind(packets, 3), "");
        EXPECT_FALSE(book->overdrawn) << "more output than the credit";
    }
}

}  // namespace
