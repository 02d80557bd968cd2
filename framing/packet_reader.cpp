#include "framing/packet_reader.hpp"

#include <algorithm>
#include <cstring>

#include "framing/length_header.hpp"

namespace brindock {

std::size_t next_read_size(const packet_reader& reader, std::size_t buffer_size)
{
    if (reader.body_remaining == 0) {
        return std::min(header_size - reader.header_filled, buffer_size);
    }
    return std::min(std::size_t{reader.body_remaining}, buffer_size);
}

input_step take_input(packet_reader& reader, const unsigned char* bytes, std::size_t count)
{
    if (reader.body_remaining > 0) {
        reader.body_remaining -= static_cast<std::uint32_t>(count);
        return input_step::body_bytes;
    }
    std::memcpy(reader.header + reader.header_filled, bytes, count);
    reader.header_filled += count;
    if (reader.header_filled < header_size) {
        return input_step::more_needed;
    }
    reader.header_filled = 0;
    reader.body_remaining = decode_length_header(reader.header);
    return reader.body_remaining == 0 ? input_step::end_of_input : input_step::more_needed;
}

std::size_t next_piece_size(std::size_t remaining)
{
    return std::min(remaining, child_write_piece);
}

}  // namespace brindock
