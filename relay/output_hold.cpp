#include "relay/output_hold.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "framing/length_header.hpp"
#include "relay/descriptors.hpp"

namespace brindock {

// A mapping of block_size bytes: this header, then packets up to `used`.
struct hold_block {
    hold_block* next;
    std::size_t used;  // bytes of packets stored after the header
};

namespace {

// Large enough that a block holds many full packets, small enough that the
// last, partly filled block costs little beyond what is held.
constexpr std::size_t block_size = std::size_t{1} << 20;
constexpr std::size_t block_capacity = block_size - sizeof(hold_block);

unsigned char* block_data(hold_block* block)
{
    return reinterpret_cast<unsigned char*>(block) + sizeof(hold_block);
}

hold_block* map_block()
{
    void* memory =
        mmap(nullptr, block_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* block = static_cast<hold_block*>(memory);
    block->next = nullptr;
    block->used = 0;
    return block;
}

// The block that the next packet goes into, mapping a new one when the last
// has no room for a header and a payload byte.
hold_block* block_with_room(output_hold& hold)
{
    if (hold.last != nullptr && block_capacity - hold.last->used > header_size) {
        return hold.last;
    }
    hold_block* block = map_block();
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

hold_block* release_first(output_hold& hold)
{
    hold_block* block = hold.first;
    hold.first = block->next;
    if (hold.first == nullptr) {
        hold.last = nullptr;
    }
    hold.held -= block->used;
    munmap(block, block_size);
    return hold.first;
}

// The hold takes nothing more: what it has is still sent, and the child's
// output waits in its pipe for the output phase.
void close_hold(output_hold& hold)
{
    hold.limit = hold.held;
}

}  // namespace

bool hold_has_room(const output_hold& hold)
{
    return hold.limit - hold.held > header_size;
}

ssize_t hold_read_from(output_hold& hold, int fd)
{
    hold_block* block = hold_has_room(hold) ? block_with_room(hold) : nullptr;
    if (block == nullptr) {
        close_hold(hold);
        errno = EAGAIN;
        return -1;
    }
    const std::size_t space = std::min(block_capacity - block->used, hold.limit - hold.held);
    const std::size_t request = std::min(space - header_size, max_output_payload);
    unsigned char* packet = block_data(block) + block->used;
    const ssize_t got = read(fd, packet + header_size, request);
    if (got > 0) {
        encode_length_header(packet, static_cast<std::uint32_t>(got));
        const std::size_t stored = header_size + static_cast<std::size_t>(got);
        block->used += stored;
        hold.held += stored;
    } else if (got == 0 || !only_had_to_wait()) {
        close_hold(hold);
    }
    return got;
}

bool hold_send_all(output_hold& hold, int out_fd)
{
    bool sent = true;
    for (hold_block* block = hold.first; block != nullptr; block = release_first(hold)) {
        if (sent) {
            sent = write_fully(out_fd, block_data(block), block->used);
        }
    }
    return sent;
}

}  // namespace brindock
