// Taking the controller's packet stream apart, one read at a time. The reader
// says how much the next read may ask for, so that it never asks for more than
// what remains of the current header or body: bytes after the end-of-input
// packet are never read, and packets that arrive together still come apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

// The most that one write to the child's input carries.
inline constexpr std::size_t child_write_piece = 1024;

struct packet_reader {
    // Body bytes of the current packet still to come; 0 while a header is due.
    std::uint32_t body_remaining = 0;
    // Header bytes gathered so far (0 to 3); only meaningful while a header is due.
    std::size_t header_filled = 0;
    unsigned char header[4] = {};
};

enum class input_step {
    more_needed,   // the bytes were (part of) a header; read on
    body_bytes,    // the bytes were body and go to the child as they are
    end_of_input,  // a zero-length header arrived: nothing more is to be read
};

// How many bytes the next read may ask for, never more than `buffer_size`.
std::size_t next_read_size(const packet_reader& reader, std::size_t buffer_size);

// Accounts for `count` bytes (1 up to the last next_read_size) just read into
// `bytes`, and says what they were.
input_step take_input(packet_reader& reader, const unsigned char* bytes, std::size_t count);

// Size of the next write to the child when `remaining` bytes of a chunk are left.
std::size_t next_piece_size(std::size_t remaining);

}  // namespace brindock
