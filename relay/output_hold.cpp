#include "relay/output_hold.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framing/length_header.hpp"
#include "relay/descriptors.hpp"

namespace brindock {

// A block of storage: this header, then packets up to `used`.
struct hold_block {
    hold_block* next;
    std::size_t used;      // bytes of packets stored after the header
    std::size_t capacity;  // bytes that may follow the header
};

namespace {

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
    *block = {nullptr, 0, block_size - sizeof(hold_block)};
    return block;
}

hold_block* map_staging_block()
{
    hold_block* block = map_block(true);
    if (block == nullptr) {
        block = reinterpret_cast<hold_block*>(fallback_staging);
        *block = {nullptr, 0, fallback_size - sizeof(hold_block)};
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

// The block that the next packet goes into, mapping a new one when the last
// has no room for a header and a payload byte.
hold_block* block_with_room(output_hold& hold)
{
    if (hold.last != nullptr && space_left(hold.last) > header_size) {
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
    if (hold.limit - hold.held > header_size) {
        hold_block* block = block_with_room(hold);
        if (block != nullptr) {
            return {block, std::min(space_left(block), hold.limit - hold.held)};
        }
        // Memory that cannot be mapped ends the memory part where it stands.
        hold.limit = hold.held;
    }
    if (hold.staging == nullptr) {
        hold.staging = map_staging_block();
    }
    return {hold.staging, space_left(hold.staging)};
}

// Moves the full staging block into the spill file. What the file does not
// take stays at the start of the block, ahead of any later packet; a cut inside
// a packet does no harm, as file and block are sent as one framed sequence.
void spill_staging(output_hold& hold)
{
    unsigned char* data = block_data(hold.staging);
    const std::size_t stored = spill_append(hold.spill, data, hold.staging->used);
    std::memmove(data, data + stored, hold.staging->used - stored);
    hold.staging->used -= stored;
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

// Sends the memory blocks, releasing each; after a failed write the rest are
// only released.
bool send_memory_blocks(output_hold& hold, int out_fd)
{
    bool sent = true;
    for (hold_block* block = hold.first; block != nullptr; block = release_first(hold)) {
        if (sent) {
            sent = give_fully(out_fd, block_data(block), block->used);
        }
    }
    return sent;
}

}  // namespace

bool hold_has_room(const output_hold& hold)
{
    if (hold.closed) {
        return false;
    }
    // A full staging block is emptied into the file at once, so one that stays
    // full means the file takes nothing more.
    return hold.limit - hold.held > header_size || hold.staging == nullptr ||
           space_left(hold.staging) > header_size;
}

bool hold_is_full(const output_hold& hold)
{
    return !hold.closed && !hold_has_room(hold);
}

std::uint64_t hold_size(const output_hold& hold)
{
    return hold.held + hold.spill.size + (hold.staging != nullptr ? hold.staging->used : 0);
}

ssize_t hold_read_from(output_hold& hold, int fd)
{
    if (!hold_has_room(hold)) {
        // The child's output waits in its pipe for the output phase.
        errno = EAGAIN;
        return -1;
    }
    const packet_room room = room_for_packet(hold);
    const std::size_t request = std::min(room.space - header_size, max_output_payload);
    unsigned char* packet = block_data(room.block) + room.block->used;
    const ssize_t got = read(fd, packet + header_size, request);
    if (got > 0) {
        encode_length_header(packet, static_cast<std::uint32_t>(got));
        const std::size_t stored = header_size + static_cast<std::size_t>(got);
        room.block->used += stored;
        if (room.block != hold.staging) {
            hold.held += stored;
        } else if (space_left(room.block) <= header_size) {
            spill_staging(hold);
        }
    } else if (got == 0 || !only_had_to_wait()) {
        hold.closed = true;
    }
    return got;
}

bool hold_send_all(output_hold& hold, int out_fd)
{
    bool sent = send_memory_blocks(hold, out_fd);
    if (sent) {
        sent = spill_send_all(hold.spill, out_fd);
    } else {
        spill_drop(hold.spill);
    }
    if (hold.staging != nullptr) {
        sent = sent && give_fully(out_fd, block_data(hold.staging), hold.staging->used);
        release_block(hold.staging);
        hold.staging = nullptr;
    }
    hold.closed = true;
    return sent;
}

}  // namespace brindock
