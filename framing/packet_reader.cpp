#include "framing/packet_reader.hpp"

#include <algorithm>
#include <cstring>

#include "framing/length_header.hpp"

namespace brindock {
namespace {

struct walk {
    std::size_t consumed = 0;
    batch taken;
};

// Steps `reader` over `count` bytes at `in`, stopping just past the
// end-of-input header. Body bytes are copied to `out` one after the other when
// it is given; `out` may be `in` itself, as the copies only ever move bytes
// towards the front.
walk walk_stream(packet_reader& reader, const unsigned char* in, unsigned char* out,
                 std::size_t count)
{
    walk w;
    while (w.consumed < count && !reader.ended) {
        const std::size_t left = count - w.consumed;
        if (reader.body_remaining > 0) {
            const std::size_t body = std::min<std::size_t>(reader.body_remaining, left);
            if (out != nullptr && out + w.taken.body_bytes != in + w.consumed) {
                std::memmove(out + w.taken.body_bytes, in + w.consumed, body);
            }
            reader.body_remaining -= static_cast<std::uint32_t>(body);
            w.taken.body_bytes += body;
            w.consumed += body;
            continue;
        }
        const std::size_t part = std::min(header_size - reader.header_filled, left);
        std::memcpy(reader.header + reader.header_filled, in + w.consumed, part);
        reader.header_filled += part;
        w.consumed += part;
        if (reader.header_filled < header_size) {
            break;
        }
        reader.header_filled = 0;
        reader.body_remaining = decode_length_header(reader.header);
        if (reader.body_remaining == 0) {
            w.taken.end_of_input = true;
            reader.ended = true;
        }
    }
    return w;
}

}  // namespace

std::size_t next_read_size(const packet_reader& reader, std::size_t buffer_size)
{
    if (reader.ended) {
        return 0;
    }
    if (reader.body_remaining == 0) {
        return std::min(header_size - reader.header_filled, buffer_size);
    }
    return std::min(std::size_t{reader.body_remaining}, buffer_size);
}

std::size_t consumable_size(const packet_reader& reader, const unsigned char* bytes,
                            std::size_t count)
{
    packet_reader ahead = reader;
    return walk_stream(ahead, bytes, nullptr, count).consumed;
}

batch take_batch(packet_reader& reader, unsigned char* bytes, std::size_t count)
{
    return walk_stream(reader, bytes, bytes, count).taken;
}

std::size_t next_piece_size(std::size_t remaining)
{
    return std::min(remaining, child_write_piece);
}

}  // namespace brindock
