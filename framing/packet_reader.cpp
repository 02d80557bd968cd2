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

struct handler_call {
    control_handler handler;
    void* context;
};

// Channel mode: a packet that is not passed on is complete. The end of input
// is noted here, whoever handles the rest.
void finish_control(packet_reader& reader, walk& w, const handler_call& call)
{
    const control_packet& packet = reader.control;
    if (packet.kind == kind_end && packet.payload_length == 0 && !reader.input_closed) {
        reader.input_closed = true;
        w.taken.end_of_input = true;
    }
    if (call.handler != nullptr) {
        call.handler(packet, call.context);
    }
}

// Channel mode: a header has just been completed.
void start_packet(packet_reader& reader, walk& w, const handler_call& call)
{
    reader.passing_on = false;
    reader.kind_due = reader.body_remaining > 0;
    if (!reader.kind_due) {
        reader.control = {kind_end, 0, {}, reader.input_closed};
        finish_control(reader, w, call);
    }
}

// Channel mode: the kind byte.
void take_kind(packet_reader& reader, walk& w, unsigned char kind, const handler_call& call)
{
    reader.kind_due = false;
    reader.body_remaining -= 1;
    reader.passing_on = kind == kind_input && !reader.input_closed;
    if (!reader.passing_on) {
        reader.control = {kind, reader.body_remaining, {}, reader.input_closed};
        if (reader.body_remaining == 0) {
            finish_control(reader, w, call);
        }
    }
}

// Channel mode: `count` payload bytes of a packet that is not passed on.
void take_control_bytes(packet_reader& reader, walk& w, const unsigned char* in, std::size_t count,
                        const handler_call& call)
{
    control_packet& packet = reader.control;
    const std::size_t kept = packet.payload_length - reader.body_remaining;
    for (std::size_t i = kept; i < sizeof packet.payload && i - kept < count; ++i) {
        packet.payload[i] = in[i - kept];
    }
    reader.body_remaining -= static_cast<std::uint32_t>(count);
    if (reader.body_remaining == 0) {
        finish_control(reader, w, call);
    }
}

// Steps `reader` over `count` bytes at `in`, stopping just past the
// end-of-input header. Body bytes are copied to `out` one after the other when
// it is given; `out` may be `in` itself, as the copies only ever move bytes
// towards the front.
walk walk_stream(packet_reader& reader, const unsigned char* in, unsigned char* out,
                 std::size_t count, const handler_call& call = {nullptr, nullptr})
{
    walk w;
    while (w.consumed < count && !reader.ended) {
        const std::size_t left = count - w.consumed;
        if (reader.kinds && reader.kind_due) {
            take_kind(reader, w, in[w.consumed++], call);
            continue;
        }
        if (reader.kinds && reader.body_remaining > 0 && !reader.passing_on) {
            const std::size_t part = std::min<std::size_t>(reader.body_remaining, left);
            take_control_bytes(reader, w, in + w.consumed, part, call);
            w.consumed += part;
            continue;
        }
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
        if (reader.kinds) {
            start_packet(reader, w, call);
        } else if (reader.body_remaining == 0) {
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

batch take_batch(packet_reader& reader, unsigned char* bytes, std::size_t count,
                 control_handler handler, void* context)
{
    return walk_stream(reader, bytes, bytes, count, {handler, context}).taken;
}

std::size_t next_piece_size(std::size_t remaining)
{
    return std::min(remaining, child_write_piece);
}

}  // namespace brindock
