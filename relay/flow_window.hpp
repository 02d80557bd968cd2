// Flow control in channel mode: the controller's credit, in payload bytes of
// the command's output (its standard output and standard error alike), and
// which of the held packets it has paid for.
//
// Output is read only within the credit, so what is held has been paid for
// and the command otherwise waits on its own full pipes. The one exception is
// the deadlock that the hold exists to break (the command's input stuck
// behind its full input pipe): output read then is held unpaid, after
// everything paid, and the credit that comes later pays for it in order. Only
// the paid front of the hold may be sent. The relay's own packets cost
// nothing, but keep their place behind unpaid ones.
//
// Invariant: whenever credit is left and output waits unpaid, some of it is
// paid for at once. A controller may grant only for what it has received, so
// an unpaid packet larger than the credit is never left waiting for more: once
// everything before it has gone, it goes in pieces the size of the credit,
// each a packet of its own. Its first piece replaces its header in the hold
// (`skip_due`); every piece's header is made here (`header`) and goes out
// before the piece's payload, which the hold then sends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

struct unpaid_packet {
    std::uint64_t framed;  // its bytes in the hold, and those of the relay's own after it
    std::uint32_t cost;    // payload bytes still to pay for
    unsigned char kind;
    bool headed;  // its header and kind byte are still in the hold
};

// The most packets held unpaid at once; past it, no more output is read
// until credit comes.
inline constexpr std::size_t most_unpaid = 4096;

// A piece's header and kind byte.
inline constexpr std::size_t piece_header_size = 5;

struct flow_window {
    bool on = false;             // off: no limit at all
    std::uint64_t credit = 0;    // payload bytes granted and not yet spent; saturates
    std::uint64_t sendable = 0;  // bytes at the hold's front that may go, after `header`
    std::uint64_t skip_due = 0;  // bytes at the hold's front to drop before anything is sent
    unsigned char header[piece_header_size] = {};
    std::size_t header_sent = piece_header_size;  // all of `header` sent: nothing of it is due
    unpaid_packet unpaid[most_unpaid] = {};
    std::size_t unpaid_first = 0;
    std::size_t unpaid_count = 0;
};

// The most payload bytes the next read of the command's output may take:
// 0 when it must wait for credit. `breaking_deadlock`: the read is the
// hold's way out of a deadlock, and may go past the credit.
std::size_t window_read_limit(const flow_window& window, bool breaking_deadlock);

// A packet of `framed` bytes in the hold, `cost` of them payload of kind
// `kind` to pay for, has been added to the hold.
void window_note_packet(flow_window& window, std::size_t framed, std::size_t cost,
                        unsigned char kind);

// The controller grants `credit` more bytes.
void window_grant(flow_window& window, std::uint64_t credit);

// How many bytes at the hold's front may be sent now, once `skip_due` has been
// dropped and what is due of `header` has gone.
std::uint64_t window_send_limit(const flow_window& window);

// The bytes of `header` still to send before the hold's; 0 when none are due.
std::size_t window_header_due(const flow_window& window);

// `bytes` of the header due have been sent.
void window_note_header_sent(flow_window& window, std::size_t bytes);

// `skip_due` bytes of the hold have been dropped.
void window_note_skipped(flow_window& window);

// `bytes` bytes of the hold have been sent.
void window_note_sent(flow_window& window, std::uint64_t bytes);

// No more credit can come (the controller's input is over): everything held
// is paid for, and the limit goes.
void window_lift(flow_window& window);

}  // namespace brindock
