#include "relay/output_hold.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framing/length_header.hpp"
#include "relay/descriptors.hpp"
#include "relay/ready_write.hpp"

namespace brindock {

// A block of storage: this header, then packets up to `used`.
struct hold_block {
    hold_block* next;
    std::size_t used;      // bytes of packets stored after the header
    std::size_t capacity;  // bytes that may follow the header
    std::size_t sent;      // bytes at the front of the packets already sent; <= used
};

namespace {

// Where the hold's front goes: to the controller, or nowhere when the bytes
// are only to be dropped (a header that flow control replaces).
enum class sink { controller, nowhere };

// One huge page: the kernel places anonymous mappings of this size on a huge
// page boundary, so a block that asks for one costs a single fault instead of
// 512. Large enough that a block holds many full packets, small enough that the
// last, partly filled block costs little beyond what is held.
constexpr std::size_t block_size = std::size_t{2} << 20;

// Staging for when not even one block can be mapped (a low address space
// limit, no overcommit): output still reaches the spill file, in smaller
// writes. It costs no memory until it is used.
constexpr std::size_t fallback_size = 2 * relay_buffer_size;
alignas(hold_block) unsigned char fallback_staging[fallback_size];

unsigned char* block_data(hold_block* block)
{
    return reinterpret_cast<unsigned char*>(block) + sizeof(hold_block);
}

// `huge`: backed by a huge page where the system allows it. The first block is
// not, so that a relay that holds a little output keeps a little resident.
hold_block* map_block(bool huge)
{
    void* memory =
        mmap(nullptr, block_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    if (huge && madvise(memory, block_size, MADV_HUGEPAGE) != 0) {
        // Small pages then: slower to fill, the same to use.
    }
    auto* block = static_cast<hold_block*>(memory);
    *block = {nullptr, 0, block_size - sizeof(hold_block), 0};
    return block;
}

hold_block* map_staging_block()
{
    hold_block* block = map_block(true);
    if (block == nullptr) {
        block = reinterpret_cast<hold_block*>(fallback_staging);
        *block = {nullptr, 0, fallback_size - sizeof(hold_block), 0};
    }
    return block;
}

void release_block(hold_block* block)
{
    if (reinterpret_cast<unsigned char*>(block) != fallback_staging) {
        munmap(block, block_size);
    }
}

std::size_t space_left(const hold_block* block)
{
    return block->capacity - block->used;
}

std::size_t unsent(const hold_block* block)
{
    return block != nullptr ? block->used - block->sent : 0;
}

// Output has gone past memory, so later output must follow it, not overtake it.
bool past_memory(const output_hold& hold)
{
    return hold.spill.size > 0 || (hold.staging != nullptr && hold.staging->used > 0);
}

bool memory_takes_output(const output_hold& hold)
{
    // The relay's own packets may have taken memory past its limit.
    return hold.held < hold.limit && hold.limit - hold.held > hold.framing && !past_memory(hold);
}

// The block that the next packet goes into, mapping a new one when the last
// has no room for `need` bytes.
hold_block* block_with_room(output_hold& hold, std::size_t need)
{
    if (hold.last != nullptr && space_left(hold.last) >= need) {
        return hold.last;
    }
    hold_block* block = map_block(hold.first != nullptr);
    if (block == nullptr) {
        return nullptr;
    }
    if (hold.last != nullptr) {
        hold.last->next = block;
    } else {
        hold.first = block;
    }
    hold.last = block;
    return block;
}

// Where the next packet goes and how many framed bytes it may take: the memory
// blocks up to the limit, then the staging block.
struct packet_room {
    hold_block* block;
    std::size_t space;
};

packet_room room_for_packet(output_hold& hold)
{
    if (memory_takes_output(hold)) {
        hold_block* block = block_with_room(hold, hold.framing + 1);
        if (block != nullptr) {
            return {block, std::min(space_left(block), hold.limit - hold.held)};
        }
        // Memory that cannot be mapped ends the memory part where it stands.
        hold.limit = hold.held;
    }
    if (hold.staging == nullptr) {
        hold.staging = map_staging_block();
    }
    return {hold.staging, space_left(hold.staging) - hold.reserve};
}

// Moves the full staging block's unsent bytes into the spill file. What the
// file does not take stays at the start of the block, ahead of any later
// packet; a cut inside a packet does no harm, as file and block are sent as
// one framed sequence. Part of the block has been sent only when the file had
// all been sent before it, so the order stays.
void spill_staging(output_hold& hold)
{
    hold_block* staging = hold.staging;
    unsigned char* data = block_data(staging);
    const std::size_t stored = spill_append(hold.spill, data + staging->sent, unsent(staging));
    const std::size_t kept = unsent(staging) - stored;
    std::memmove(data, data + staging->sent + stored, kept);
    staging->used = kept;
    staging->sent = 0;
}

// The staging block has no room left for output: it goes to the file.
void spill_if_full(output_hold& hold)
{
    if (space_left(hold.staging) <= hold.framing + hold.reserve) {
        spill_staging(hold);
    }
}

hold_block* release_first(output_hold& hold)
{
    hold_block* block = hold.first;
    hold.first = block->next;
    if (hold.first == nullptr) {
        hold.last = nullptr;
    }
    hold.held -= block->used;
    release_block(block);
    return hold.first;
}

// Sends what standard output takes now of `block`'s unsent bytes, `budget` at
// most: true once all are sent, false with errno set when it has to wait
// (the budget spent included) or fails. `final`: the block takes nothing more
// and is released once sent, so its pages may be handed over instead of
// copied. To `sink::nowhere` the bytes are only dropped.
bool send_block_ready(hold_block* block, bool final, std::uint64_t& budget, sink to)
{
    while (block->sent < block->used) {
        if (budget == 0) {
            errno = EAGAIN;
            return false;
        }
        const unsigned char* data = block_data(block) + block->sent;
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(unsent(block), budget));
        const ssize_t written = to == sink::nowhere ? static_cast<ssize_t>(length)
                                : final             ? give_what_fits(data, length)
                                                    : write_what_fits(data, length);
        if (written < 0) {
            return false;
        }
        block->sent += static_cast<std::size_t>(written);
        budget -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// The memory blocks' part of hold_send_ready. A block that is all sent is
// released, or, when it is the one being filled, emptied for reuse: its bytes
// were copied out, so nothing refers to them any more.
bool send_memory_ready(output_hold& hold, std::uint64_t& budget, sink to)
{
    while (hold.first != nullptr) {
        if (!send_block_ready(hold.first, hold.first != hold.last, budget, to)) {
            return false;
        }
        if (hold.first == hold.last) {
            hold.held -= hold.first->used;
            hold.first->used = hold.first->sent = 0;
            return true;
        }
        release_first(hold);
    }
    return true;
}

}  // namespace

bool hold_has_room(const output_hold& hold)
{
    if (hold.closed) {
        return false;
    }
    // A full staging block is emptied into the file at once, so one that stays
    // full means the file takes nothing more.
    return memory_takes_output(hold) || hold.staging == nullptr ||
           space_left(hold.staging) > hold.framing + hold.reserve;
}

bool hold_is_full(const output_hold& hold)
{
    return !hold.closed && !hold_has_room(hold);
}

std::uint64_t hold_size(const output_hold& hold)
{
    // Only the oldest memory block can have been sent in part.
    const std::size_t memory = hold.held - (hold.first != nullptr ? hold.first->sent : 0);
    return memory + (hold.spill.size - hold.spill.sent) + unsent(hold.staging);
}

void hold_use_kinds(output_hold& hold)
{
    hold.framing = header_size + 1;
    // Room for a few dozen messages, and beyond their reach for the last
    // packets: the count of messages that found no room, then the exit.
    hold.reserve = 4096;
    hold.kept_for_last = 256;
}

ssize_t hold_read_from(output_hold& hold, int fd, std::size_t most, unsigned char kind)
{
    if (!hold_has_room(hold)) {
        // The child's output waits in its pipe until the hold has room.
        errno = EAGAIN;
        return -1;
    }
    const packet_room room = room_for_packet(hold);
    const std::size_t extra = hold.framing - header_size;
    const std::size_t request =
        std::min({room.space - hold.framing, max_output_payload - extra, most});
    unsigned char* packet = block_data(room.block) + room.block->used;
    const ssize_t got = read(fd, packet + hold.framing, request);
    if (got > 0) {
        encode_length_header(packet,
                             static_cast<std::uint32_t>(static_cast<std::size_t>(got) + extra));
        if (extra > 0) {
            packet[header_size] = kind;
        }
        const std::size_t stored = hold.framing + static_cast<std::size_t>(got);
        room.block->used += stored;
        if (room.block != hold.staging) {
            hold.held += stored;
        } else {
            spill_if_full(hold);
        }
    } else if (got == 0 || !only_had_to_wait()) {
        hold.closed = true;
    }
    return got;
}

bool hold_append_packet(output_hold& hold, const unsigned char* packet, std::size_t length,
                        bool last)
{
    // Memory may go past its limit by such a packet: it is small, and rare.
    hold_block* block = !past_memory(hold) ? block_with_room(hold, length) : nullptr;
    if (block != nullptr) {
        hold.held += length;
    } else {
        if (hold.staging == nullptr) {
            hold.staging = map_staging_block();
        }
        if (space_left(hold.staging) < length + (last ? 0 : hold.kept_for_last)) {
            return false;
        }
        block = hold.staging;
    }
    std::memcpy(block_data(block) + block->used, packet, length);
    block->used += length;
    if (block == hold.staging) {
        spill_if_full(hold);
    }
    return true;
}

namespace {

bool pass_front(output_hold& hold, std::uint64_t most, sink to)
{
    // In order: memory, the file, then the staging block. Once that too has
    // all gone it empties, and memory takes output again.
    std::uint64_t budget = most;
    const bool all_sent =
        send_memory_ready(hold, budget, to) &&
        spill_send_ready(hold.spill, budget, to == sink::nowhere) &&
        (hold.staging == nullptr || send_block_ready(hold.staging, false, budget, to));
    if (!all_sent) {
        return only_had_to_wait();
    }
    if (hold.staging != nullptr) {
        hold.staging->used = hold.staging->sent = 0;
    }
    return true;
}

}  // namespace

bool hold_send_ready(output_hold& hold, std::uint64_t most)
{
    return pass_front(hold, most, sink::controller);
}

void hold_drop_front(output_hold& hold, std::uint64_t bytes)
{
    pass_front(hold, bytes, sink::nowhere);
}

}  // namespace brindock
