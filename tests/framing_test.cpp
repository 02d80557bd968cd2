// The length header and the packet reader, driven directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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
struct reading {
    std::string body;
    bool ended = false;
    std::size_t consumed = 0;
};

reading read_stream(const std::string& stream, std::size_t limit, bool batches)
{
    packet_reader reader;
    reading result;
    while (result.consumed < stream.size() && !result.ended) {
        std::string piece =
            stream.substr(result.consumed, batches ? limit : next_read_size(reader, limit));
        auto* bytes = reinterpret_cast<unsigned char*>(piece.data());
        const std::size_t count =
            batches ? consumable_size(reader, bytes, piece.size()) : piece.size();
        result.consumed += count;
        const batch taken = take_batch(reader, bytes, count);
        result.body.append(piece, 0, taken.body_bytes);
        result.ended = taken.end_of_input;
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
