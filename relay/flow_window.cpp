#include "relay/flow_window.hpp"

#include <algorithm>

#include "framing/length_header.hpp"

namespace brindock {
namespace {

// The bound stands for no limit: a relay never sends that much.
void spend(flow_window& window, std::uint64_t bytes)
{
    if (window.credit != UINT64_MAX) {
        window.credit -= bytes;
    }
}

unpaid_packet& oldest_unpaid(flow_window& window)
{
    return window.unpaid[window.unpaid_first];
}

void drop_oldest_unpaid(flow_window& window)
{
    window.unpaid_first = (window.unpaid_first + 1) % most_unpaid;
    --window.unpaid_count;
}

// Nothing is on its way before the hold's front: a piece's header may go.
bool front_is_clear(const flow_window& window)
{
    return window.sendable == 0 && window.skip_due == 0 && window.header_sent == piece_header_size;
}

// Pays for as much of the oldest unpaid packet as the credit covers, as a
// piece of its own with a header made here. Its header in the hold, if still
// there, is dropped instead of sent.
void pay_piece(flow_window& window, unpaid_packet& oldest)
{
    if (oldest.headed) {
        window.skip_due = piece_header_size;
        oldest.framed -= piece_header_size;
        oldest.headed = false;
    }
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(window.credit, oldest.cost));
    encode_length_header(window.header, piece + 1);
    window.header[header_size] = oldest.kind;
    window.header_sent = 0;
    spend(window, piece);
    oldest.cost -= piece;
    oldest.framed -= piece;
    window.sendable += piece;
    if (oldest.cost == 0) {
        // What follows it, the relay's own packets, goes with the last piece.
        window.sendable += oldest.framed;
        drop_oldest_unpaid(window);
    }
}

// Pays, in order, for the unpaid packets that the credit now covers, whole
// where it can, otherwise in a piece as large as the credit once everything
// before it has gone: credit left never waits beside unpaid output.
void pay_what_credit_covers(flow_window& window)
{
    while (window.unpaid_count > 0 && window.credit > 0) {
        unpaid_packet& oldest = oldest_unpaid(window);
        if (oldest.headed && oldest.cost <= window.credit) {
            spend(window, oldest.cost);
            window.sendable += oldest.framed;
            drop_oldest_unpaid(window);
        } else if (front_is_clear(window)) {
            pay_piece(window, oldest);
        } else {
            return;
        }
    }
}

}  // namespace

std::size_t window_read_limit(const flow_window& window, bool breaking_deadlock)
{
    if (!window.on) {
        return max_output_payload;
    }
    if (window.unpaid_count == 0 && window.credit > 0) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(window.credit, max_output_payload));
    }
    return breaking_deadlock && window.unpaid_count < most_unpaid ? max_output_payload : 0;
}

void window_note_packet(flow_window& window, std::size_t framed, std::size_t cost,
                        unsigned char kind)
{
    if (!window.on) {
        return;
    }
    if (window.unpaid_count == 0 && cost <= window.credit) {
        spend(window, cost);
        window.sendable += framed;
        return;
    }
    // A packet of the relay's own costs nothing: it goes with the one before.
    if (cost == 0) {
        window.unpaid[(window.unpaid_first + window.unpaid_count - 1) % most_unpaid].framed +=
            framed;
        return;
    }
    window.unpaid[(window.unpaid_first + window.unpaid_count) % most_unpaid] = {
        framed, static_cast<std::uint32_t>(cost), kind, true};
    ++window.unpaid_count;
    pay_what_credit_covers(window);
}

void window_grant(flow_window& window, std::uint64_t credit)
{
    window.credit = credit > UINT64_MAX - window.credit ? UINT64_MAX : window.credit + credit;
    pay_what_credit_covers(window);
}

std::uint64_t window_send_limit(const flow_window& window)
{
    return window.on ? window.sendable : UINT64_MAX;
}

std::size_t window_header_due(const flow_window& window)
{
    return piece_header_size - window.header_sent;
}

void window_note_header_sent(flow_window& window, std::size_t bytes)
{
    window.header_sent += bytes;
}

void window_note_skipped(flow_window& window)
{
    window.skip_due = 0;
}

void window_note_sent(flow_window& window, std::uint64_t bytes)
{
    window.sendable -= std::min(window.sendable, bytes);
    pay_what_credit_covers(window);
}

void window_lift(flow_window& window)
{
    window_grant(window, UINT64_MAX);
}

}  // namespace brindock
