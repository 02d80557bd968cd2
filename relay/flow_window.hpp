// Flow control in channel mode: the controller's credit, in payload bytes of
// the command's output (its standard output and standard error alike), and
// which of the held packets it has paid for.
//
// Output is read only within the credit, so what is held has been paid for
// and the command otherwise waits on its own full pipes. The one exception is
// the deadlock that the hold exists to break (the command's input stuck
// behind its full input pipe): output read then is held unpaid, after
// everything paid, and the credit that comes later pays for it packet by
// packet, in order. Only the paid front of the hold may be sent. The relay's
// own packets cost nothing, but keep their place behind unpaid ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindock {

struct unpaid_packet {
    std::uint32_t framed;  // bytes in the hold, header included
    std::uint32_t cost;    // payload bytes that credit must cover
};

// The most packets held unpaid at once; past it, no more output is read
// until credit comes.
inline constexpr std::size_t most_unpaid = 4096;

struct flow_window {
    bool on = false;             // off: no limit at all
    std::uint64_t credit = 0;    // payload bytes granted and not yet spent
    std::uint64_t sendable = 0;  // framed bytes at the hold's front that may go
    unpaid_packet unpaid[most_unpaid] = {};
    std::size_t unpaid_first = 0;
    std::size_t unpaid_count = 0;
};

// The most payload bytes the next read of the command's output may take:
// 0 when it must wait for credit. `breaking_deadlock`: the read is the
// hold's way out of a deadlock, and may go past the credit.
std::size_t window_read_limit(const flow_window& window, bool breaking_deadlock);

// A packet of `framed` bytes, `cost` of them payload to pay for, has been
// added to the hold.
void window_note_packet(flow_window& window, std::size_t framed, std::size_t cost);

// The controller grants `credit` more bytes.
void window_grant(flow_window& window, std::uint32_t credit);

// How many framed bytes at the hold's front may be sent now.
std::uint64_t window_send_limit(const flow_window& window);

// `bytes` framed bytes of the hold have been sent.
void window_note_sent(flow_window& window, std::uint64_t bytes);

// No more credit can come (the controller's input is over): the limit goes.
void window_lift(flow_window& window);

}  // namespace brindock
