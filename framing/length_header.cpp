#include "framing/length_header.hpp"

namespace brindock {

std::uint32_t decode_length_header(const unsigned char* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void encode_length_header(unsigned char* buffer, std::uint32_t length)
{
    buffer[0] = static_cast<unsigned char>(length >> 24);
    buffer[1] = static_cast<unsigned char>(length >> 16);
    buffer[2] = static_cast<unsigned char>(length >> 8);
    buffer[3] = static_cast<unsigned char>(length);
}

}  // namespace brindock
