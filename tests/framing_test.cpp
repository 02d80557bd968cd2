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

// Feeds `stream` to a reader in reads of at most `read_limit` bytes, as the
// input phase would, and returns the body bytes and whether the end came.
struct reading {
    std::string body;
    bool ended = false;
    std::size_t consumed = 0;
};

reading read_stream(const std::string& stream, std::size_t read_limit)
{
    packet_reader reader;
    reading result;
    while (result.consumed < stream.size()) {
        const std::size_t ask = next_read_size(reader, read_limit);
        const std::size_t got = std::min(ask, stream.size() - result.consumed);
        const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data() + result.consumed);
        result.consumed += got;
        const input_step step = take_input(reader, bytes, got);
        if (step == input_step::body_bytes) {
            result.body.append(stream, result.consumed - got, got);
        } else if (step == input_step::end_of_input) {
            result.ended = true;
            break;
        }
    }
    return result;
}

TEST(PacketReader, JoinsBodiesAndStopsExactlyAtTheEndOfInput)
{
    const std::string stream = std::string("\0\0\0\2ab\0\0\0\2cd\0\0\0\0trailing", 20);
    for (std::size_t limit : {1u, 2u, 3u, 65536u}) {
        const reading r = read_stream(stream, limit);
        EXPECT_EQ(r.body, "abcd") << limit;
        EXPECT_TRUE(r.ended) << limit;
        EXPECT_EQ(r.consumed, 16u) << "bytes after the end-of-input packet were read";
    }
}

TEST(PacketReader, NeverAsksBeyondTheHeaderOrTheBufferOrTheBody)
{
    packet_reader reader;
    EXPECT_EQ(next_read_size(reader, 65536), 4u);
    const unsigned char first[2] = {0xFF, 0xFF};
    EXPECT_EQ(take_input(reader, first, 2), input_step::more_needed);
    EXPECT_EQ(next_read_size(reader, 65536), 2u);
    EXPECT_EQ(take_input(reader, first, 2), input_step::more_needed);
    EXPECT_EQ(reader.body_remaining, 0xFFFFFFFFu);
    EXPECT_EQ(next_read_size(reader, 65536), 65536u);

    packet_reader small;
    const unsigned char header[4] = {0, 0, 0, 3};
    take_input(small, header, 4);
    EXPECT_EQ(next_read_size(small, 65536), 3u);
}

TEST(PacketReader, SplitsChunksIntoPiecesOfAtMost1024)
{
    EXPECT_EQ(next_piece_size(3000), 1024u);
    EXPECT_EQ(next_piece_size(952), 952u);
    EXPECT_EQ(next_piece_size(1024), 1024u);
}

}  // namespace
