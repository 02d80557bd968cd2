// Taking the controller's packet stream apart. Bytes arrive either as exact
// reads, each no larger than what remains of the current header or body, or as
// batches of many packets. Either way the reader carries a header cut by the
// end of a read over to the next one, and says where the end-of-input packet
// ends, so that no byte after it is ever consumed.
//
// In channel mode every body opens with a kind byte: only input bodies are
// passed on, the other packets are handed whole to the caller's handler, and
// the end of input is a packet among others, after which reading goes on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framing/channel_kinds.hpp"

namespace brindock {

// The most that one write to the child's input carries.
inline constexpr std::size_t child_write_piece = 1024;

struct packet_reader {
    // Body bytes of the current packet still to come; 0 while a header is due.
    std::uint32_t body_remaining = 0;
    // Header bytes gathered so far (0 to 3); only meaningful while a header is due.
    std::size_t header_filled = 0;
    unsigned char header[4] = {};
    // The end-of-input header has been consumed: nothing more may be.
    bool ended = false;

    // Channel mode: bodies open with a kind byte.
    bool kinds = false;
    // Channel mode: the end of input has been taken; later input is refused.
    bool input_closed = false;
    bool kind_due = false;    // the next body byte is the kind
    bool passing_on = false;  // the current body is input to pass on
    control_packet control;   // the current packet, when it is not passed on
};

// Called for each packet that is not passed on, once it has been taken in whole.
using control_handler = void (*)(const control_packet& packet, void* context);

// What a batch of consumed bytes held.
struct batch {
    std::size_t body_bytes = 0;  // now at the front of the buffer, in stream order
    bool end_of_input = false;   // the batch ended with the end-of-input header
};

// How many bytes an exact read may ask for: never more than what remains of
// the current header or body, nor more than `buffer_size`; none once ended.
std::size_t next_read_size(const packet_reader& reader, std::size_t buffer_size);

// How many of the `count` bytes at `bytes`, which come next in the stream, may
// be consumed: all of them, or up to and including the end-of-input header
// when it lies among them, counting the header bytes that `reader` carries;
// none once the end-of-input header has been consumed.
std::size_t consumable_size(const packet_reader& reader, const unsigned char* bytes,
                            std::size_t count);

// Accounts for `count` consumed bytes at `bytes` (no more than consumable_size
// allows) and moves their body bytes to the front of `bytes`, over the headers.
// In channel mode `handler` (when given) is called with `context` for every
// packet that is not input to pass on, in stream order.
batch take_batch(packet_reader& reader, unsigned char* bytes, std::size_t count,
                 control_handler handler = nullptr, void* context = nullptr);

// Size of the next write to the child when `remaining` bytes of a chunk are left.
std::size_t next_piece_size(std::size_t remaining);

}  // namespace brindock
