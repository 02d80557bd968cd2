// Length headers: the 4-byte big-endian unsigned count that opens every packet
// in both directions, and the sizes that the rest of the relay derives from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

inline constexpr std::size_t header_size = 4;

// The one relay buffer: every read of the controller's input and of the
// child's output lands in it.
inline constexpr std::size_t relay_buffer_size = 65536;

// An outgoing packet is header and payload together in the relay buffer, so a
// payload never exceeds what the buffer leaves after the header.
inline constexpr std::size_t max_output_payload = relay_buffer_size - header_size;

// Reads the 4 bytes at `bytes` as an unsigned big-endian value; never negative.
std::uint32_t decode_length_header(const unsigned char* bytes);

// Writes `length` big-endian into the first 4 bytes of `buffer` and nothing else.
void encode_length_header(unsigned char* buffer, std::uint32_t length);

}  // namespace brindock
