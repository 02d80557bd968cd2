// The length header and the packet reader, driven directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framing/channel_kinds.hpp"
#include "framing/length_header.hpp"
#include "framing/packet_reader.hpp"

namespace {

using namespace brindock;

TEST(LengthHeader, DecodesBigEndianAsUnsigned)
{
    const unsigned char zero[4] = {0, 0, 0, 0};
    const unsigned char n256[4] = {0, 0, 1, 0};
    const unsigned char n65536[4] = {0, 1, 0, 0};
    const unsigned char all[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    const unsigned char top[4] = {0x80, 0, 0, 0};
    EXPECT_EQ(decode_length_header(zero), 0u);
    EXPECT_EQ(decode_length_header(n256), 256u);
    EXPECT_EQ(decode_length_header(n65536), 65536u);
    EXPECT_EQ(decode_length_header(all), 4294967295u);
    EXPECT_EQ(decode_length_header(top), 2147483648u);
}

TEST(LengthHeader, EncodesBigEndianAndTouchesNothingElse)
{
    unsigned char buffer[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    encode_length_header(buffer, 300);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 6),
              (std::vector<unsigned char>{0x00, 0x00, 0x01, 0x2C, 0xAA, 0xAA}));
    encode_length_header(buffer, 65532);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 4),
              (std::vector<unsigned char>{0x00, 0x00, 0xFF, 0xFC}));
}

TEST(LengthHeader, RoundTripsAcrossTheWholeRange)
{
    unsigned char buffer[4];
    // Every byte position takes every value somewhere in this walk.
    for (std::uint64_t value = 0; value <= 0xFFFFFFFFu; value += 0x01010101u / 7 + 1) {
        encode_length_header(buffer, static_cast<std::uint32_t>(value));
        ASSERT_EQ(decode_length_header(buffer), value);
    }
    encode_length_header(buffer, 0xFFFFFFFFu);
    EXPECT_EQ(decode_length_header(buffer), 0xFFFFFFFFu);
}

// Feeds `stream` to a reader as the input phase would: in exact reads of at
// most `limit` bytes, or in batches where `limit` bytes wait and
// consumable_size says how many are consumed. Returns the body bytes that
// take_batch moved to the front, and whether and where the input ended.
// With `kinds` (channel mode), the packets not passed on are listed in
// `controls` as "kind/length/first payload bytes/a if after the end", and
// reading goes on past the end of input.
struct reading {
    std::string body;
    bool ended = false;
    std::size_t consumed = 0;
    std::vector<std::string> controls;
};

void note_control(const control_packet& packet, void* context)
{
    std::string line = std::to_string(packet.kind) + "/" + std::to_string(packet.payload_length) +
                       "/" +
                       std::string(reinterpret_cast<const char*>(packet.payload),
                                   std::min<std::size_t>(packet.payload_length, 4)) +
                       (packet.after_end ? "/a" : "");
    static_cast<reading*>(context)->controls.push_back(line);
}

reading read_stream(const std::string& stream, std::size_t limit, bool batches, bool kinds = false)
{
    packet_reader reader;
    reader.kinds = kinds;
    reading result;
    while (result.consumed < stream.size() && (kinds || !result.ended)) {
        std::string piece =
            stream.substr(result.consumed, batches ? limit : next_read_size(reader, limit));
        auto* bytes = reinterpret_cast<unsigned char*>(piece.data());
        const std::size_t count =
            batches ? consumable_size(reader, bytes, piece.size()) : piece.size();
        result.consumed += count;
        const batch taken = take_batch(reader, bytes, count, note_control, &result);
        result.body.append(piece, 0, taken.body_bytes);
        result.ended = result.ended || taken.end_of_input;
    }
    return result;
}

TEST(PacketReader, JoinsBodiesAndStopsExactlyAtTheEndOfInput)
{
    // Batch ends fall inside every header, the end-of-input one included, and
    // inside every body.
    const std::string stream = std::string("\0\0\0\2ab\0\0\0\3cde\0\0\0\0\0\0\0\1z", 22);
    for (const bool batches : {false, true}) {
        for (std::size_t limit = 1; limit <= 23; ++limit) {
            const reading r = read_stream(stream, limit, batches);
            EXPECT_EQ(r.body, "abcde") << limit << " " << batches;
            EXPECT_TRUE(r.ended) << limit << " " << batches;
            EXPECT_EQ(r.consumed, 17u) << "bytes after the end-of-input packet were consumed";
        }
    }
}

TEST(PacketReader, WithKindsPassesOnInputAloneAndReadsOnPastTheEnd)
{
    // Input, a signal, a window, an unknown kind with a long payload, the end
    // of input, input after it, a signal after it, a second end.
    const std::string stream = std::string(
        "\0\0\0\3\0ab\0\0\0\2\2\x0f\0\0\0\5\3wxyz"
        "\0\0\0\7\x09longer\0\0\0\3\0cd\0\0\0\1\1"
        "\0\0\0\3\0ef\0\0\0\2\2\x02\0\0\0\0",
        62);
    const std::vector<std::string> controls = {"2/1/\x0f", "3/4/wxyz",   "9/6/long", "1/0/",
                                               "0/2/ef/a", "2/1/\x02/a", "1/0//a"};
    for (const bool batches : {false, true}) {
        for (std::size_t limit = 1; limit <= 63; ++limit) {
            const reading r = read_stream(stream, limit, batches, true);
            EXPECT_EQ(r.body, "abcd") << limit << " " << batches;
            EXPECT_TRUE(r.ended) << limit << " " << batches;
            EXPECT_EQ(r.consumed, stream.size()) << limit << " " << batches;
            EXPECT_EQ(r.controls, controls) << limit << " " << batches;
        }
    }
    // A zero-length packet ends the input as well.
    const reading r = read_stream(std::string("\0\0\0\0\0\0\0\2\0x", 10), 10, true, true);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.controls, (std::vector<std::string>{"1/0/", "0/1/x/a"}));
}

TEST(ChannelKinds, SignalNumbersAndWindowsAtTheirBounds)
{
    EXPECT_EQ(read_control({kind_signal, 1, {64}, false}).signal_number, 64);
    EXPECT_EQ(read_control({kind_signal, 1, {64}, true}).verdict, control_verdict::signal);
    EXPECT_EQ(read_control({kind_signal, 1, {65}, false}).verdict,
              control_verdict::bad_signal_number);
    EXPECT_EQ(read_control({kind_signal, 0, {}, false}).verdict,
              control_verdict::bad_signal_length);
    EXPECT_EQ(read_control({kind_window, 4, {0xFF, 0, 0, 2}, false}).credit, 0xFF000002u);
    EXPECT_EQ(read_control({kind_end, 0, {}, true}).verdict, control_verdict::repeated_end);
}

TEST(ChannelKinds, WindowSizesAreRowsThenColumnsBigEndian)
{
    const control_request size = read_control({kind_size, 4, {0xFF, 0xFE, 0x01, 0x02}, true});
    EXPECT_EQ(size.verdict, control_verdict::resize);
    EXPECT_EQ(size.rows, 0xFFFEu);
    EXPECT_EQ(size.columns, 0x0102u);
    for (const std::uint32_t length : {0u, 3u, 5u}) {
        EXPECT_EQ(read_control({kind_size, length, {0, 1, 0, 1}, false}).verdict,
                  control_verdict::bad_size_length);
    }
}

TEST(PacketReader, NeverAsksBeyondTheHeaderOrTheBufferOrTheBody)
{
    packet_reader reader;
    EXPECT_EQ(next_read_size(reader, 65536), 4u);
    unsigned char first[2] = {0xFF, 0xFF};
    EXPECT_FALSE(take_batch(reader, first, 2).end_of_input);
    EXPECT_EQ(next_read_size(reader, 65536), 2u);
    EXPECT_EQ(take_batch(reader, first, 2).body_bytes, 0u);
    EXPECT_EQ(reader.body_remaining, 0xFFFFFFFFu);
    EXPECT_EQ(next_read_size(reader, 65536), 65536u);

    packet_reader small;
    unsigned char header[4] = {0, 0, 0, 3};
    take_batch(small, header, 4);
    EXPECT_EQ(next_read_size(small, 65536), 3u);
}

TEST(PacketReader, SplitsChunksIntoPiecesOfAtMost1024)
{
    EXPECT_EQ(next_piece_size(3000), 1024u);
    EXPECT_EQ(next_piece_size(952), 952u);
    EXPECT_EQ(next_piece_size(1024), 1024u);
}

}  // namespace
