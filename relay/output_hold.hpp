// The hold: the child's output read while it may not leave yet, or while
// standard output takes no more, kept until the controller takes it. Reading
// it keeps a streaming filter from blocking on a full output pipe while the
// relay is still feeding its input. It is the only way output leaves.
//
// What is held is already framed: each read of the child's output is stored as
// one packet, header and payload side by side, so sending the hold is a plain
// write of each block. Blocks are mapped as the hold grows and unmapped as they
// are sent, so memory follows what is held and nothing held is ever copied.
//
// Memory keeps only the first `limit` bytes, or what it had when a block could
// not be mapped. Later output goes through one staging block into the spill
// file, so memory stays within the limit and a block however much is held; the
// file is sent after the memory blocks, and what the staging block still has
// after the file. Once the file takes nothing more and the staging block is
// full, the hold is full: it is up to the caller to stop the input then.
//
// The hold may also be sent while it still fills, as much as standard output
// takes at once. Output keeps its order because memory takes new output only
// while the file and the staging block are empty: once output has gone past
// memory, later output follows it there until all of that has been sent.
//
// In channel mode each packet's payload opens with a kind byte, and the relay
// may add packets of its own (a message, the exit packet): for them the
// staging block keeps a small reserve that output never takes, and in it room
// for the last ones that messages never take.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "relay/spill_file.hpp"

namespace brindock {

struct hold_block;

struct output_hold {
    hold_block* first = nullptr;    // oldest memory block, sent first; null when empty
    hold_block* last = nullptr;     // memory block being filled; null when empty
    std::size_t held = 0;           // framed bytes in memory blocks, headers included; <= limit
    std::size_t limit = 0;          // most framed bytes the memory blocks may keep
    hold_block* staging = nullptr;  // output later than the file's, on its way to it
    spill_file spill;               // output later than the memory blocks'
    bool closed = false;            // the child's output ended or failed: nothing more to take
    std::size_t framing = 4;        // bytes before a payload: the header, and the kind byte if any
    std::size_t reserve = 0;        // staging bytes kept for the relay's own packets
    std::size_t kept_for_last = 0;  // bytes of the reserve that only the last packets may take
};

// The hold of a relay in channel mode, whose packets carry a kind byte.
void hold_use_kinds(output_hold& hold);

// True while one more packet of at least one payload byte fits in the hold
// and the child's output may still bring one.
bool hold_has_room(const output_hold& hold);

// True when neither memory nor the spill file can take one more packet.
bool hold_is_full(const output_hold& hold);

// Framed bytes held and not yet sent, in memory and in the file.
std::uint64_t hold_size(const output_hold& hold);

// One read from `fd` (non-blocking) of at most `most` bytes into the hold, as
// one packet, of kind `kind` in channel mode. Returns the
// read's result: the payload size, 0, or -1 with errno set; without room, -1
// with errno set to EAGAIN. After end of file or a real failure the hold takes
// nothing more, so a waiting loop never spins on it.
ssize_t hold_read_from(output_hold& hold, int fd, std::size_t most, unsigned char kind = 0);

// Adds one whole packet of the relay's own, `length` framed bytes, after
// everything held. False when even the reserve has no room for it. `last`:
// one of the relay's last packets, which may take what the reserve keeps for
// them; there is always room there for a message and the exit packet.
bool hold_append_packet(output_hold& hold, const unsigned char* packet, std::size_t length,
                        bool last);

// Sends, in order, as much of the hold as standard output takes now, without
// waiting, and no more than `most` bytes. Returns false when a write fails for
// real; what was not sent stays.
bool hold_send_ready(output_hold& hold, std::uint64_t most = UINT64_MAX);

// Drops `bytes` bytes at the hold's front, all of them held, without sending
// them.
void hold_drop_front(output_hold& hold, std::uint64_t bytes);

}  // namespace brindock
